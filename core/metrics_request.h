// What the metrics port makes of a request: only a plain GET of /metrics is
// served; anything else gets a short refusal and the connection is closed.
// Fed the bytes received so far, so a request split over many reads, or one
// that never ends, is judged without holding more than kMaxRequestBytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace netbuf {

// A scraper's request head is a few hundred bytes.
inline constexpr std::size_t kMaxRequestBytes = 2048;

enum class MetricsRequest { Incomplete, Metrics, NotFound, MethodNotAllowed, BadRequest, TooLong };

MetricsRequest judge_metrics_request(std::string_view received);

// The whole answer to a request that is not served: status line, headers,
// no body.
std::string refusal_answer(MetricsRequest r);
// The head of the answer that carries a body of body_size bytes of the text format.
std::string metrics_answer_head(std::size_t body_size);

}  // namespace netbuf
