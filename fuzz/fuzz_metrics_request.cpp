// The metrics port: a request head arriving in pieces, judged after every
// piece as the port judges it, and the same bytes as an instance name in
// the text format.
//
// Input: the first byte is a piece length (1..32); the rest is the request,
// cut into pieces of that length.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/buffer_state.h"
#include "core/figures_snapshot.h"
#include "core/metrics_request.h"
#include "core/prometheus_text.h"
#include "fuzz_support.h"

namespace netbuf::fuzz {
namespace {

// Each line of the text is a comment or name{labels} value: no byte of a
// label value can end a line or a label early.
void check_text(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    NETBUF_FUZZ_CHECK(end != std::string::npos);
    const std::string_view line(text.data() + start, end - start);
    if (line[0] != '#') {
      bool quoted = false;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (quoted && line[i] == '\\') {
          ++i;
          continue;
        }
        if (line[i] == '"') quoted = !quoted;
      }
      NETBUF_FUZZ_CHECK(!quoted);
    }
    start = end + 1;
  }
}

}  // namespace
}  // namespace netbuf::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf;
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 32;
  const std::string_view all(reinterpret_cast<const char*>(data + 1), size - 1);
  // As the port holds it: never more than one byte past the limit.
  std::string held;
  MetricsRequest r = MetricsRequest::Incomplete;
  for (std::size_t at = 0; at < all.size() && r == MetricsRequest::Incomplete; at += piece) {
    const std::size_t room = kMaxRequestBytes + 1 - std::min(held.size(), kMaxRequestBytes + 1);
    held += all.substr(at, std::min(piece, room));
    r = judge_metrics_request(held);
    NETBUF_FUZZ_CHECK(r != MetricsRequest::Incomplete || held.size() <= kMaxRequestBytes);
  }
  if (r != MetricsRequest::Metrics && r != MetricsRequest::Incomplete) {
    const std::string answer = refusal_answer(r);
    NETBUF_FUZZ_CHECK(answer.ends_with("Connection: close\r\n\r\n"));
  }
  static auto st = std::make_unique<BufferState>();
  st->reader_count = 1;
  st->readers[1].adr485 = 1;
  st->upkeep.instance.assign(all.substr(0, 256));
  netbuf::fuzz::check_text(prometheus_text(take_figures(*st, 0)));
  return 0;
}
