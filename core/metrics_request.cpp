#include "core/metrics_request.h"

namespace netbuf {

namespace {

bool is_token_char(char c) {
  return c > 0x20 && c < 0x7f;
}

}  // namespace

MetricsRequest judge_metrics_request(std::string_view received) {
  // The request line is judged as soon as it is in: a POST or a wrong path
  // is refused without waiting for its headers.
  const std::size_t eol = received.find('\n');
  if (eol == std::string_view::npos)
    return received.size() > kMaxRequestBytes ? MetricsRequest::TooLong
                                              : MetricsRequest::Incomplete;
  std::string_view line = received.substr(0, eol);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp1 == 0) return MetricsRequest::BadRequest;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (version.substr(0, 5) != "HTTP/" || target.empty()) return MetricsRequest::BadRequest;
  for (const char c : method)
    if (!is_token_char(c)) return MetricsRequest::BadRequest;
  if (method != "GET") return MetricsRequest::MethodNotAllowed;
  // A query string is what some scrapers add; it changes nothing here.
  const std::string_view path = target.substr(0, target.find('?'));
  if (path != "/metrics") return MetricsRequest::NotFound;
  // The headers end with an empty line; what they say is of no interest,
  // but a head that never ends is.
  const bool ended = received.find("\r\n\r\n") != std::string_view::npos ||
                     received.find("\n\n") != std::string_view::npos;
  if (ended) return MetricsRequest::Metrics;
  return received.size() > kMaxRequestBytes ? MetricsRequest::TooLong : MetricsRequest::Incomplete;
}

std::string refusal_answer(MetricsRequest r) {
  const char* status = "400 Bad Request";
  const char* extra = "";
  switch (r) {
    case MetricsRequest::NotFound:
      status = "404 Not Found";
      break;
    case MetricsRequest::MethodNotAllowed:
      status = "405 Method Not Allowed";
      extra = "Allow: GET\r\n";
      break;
    case MetricsRequest::TooLong:
      status = "431 Request Header Fields Too Large";
      break;
    default:
      break;
  }
  return std::string("HTTP/1.1 ") + status + "\r\n" + extra +
         "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string metrics_answer_head(std::size_t body_size) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
         "Content-Length: " +
         std::to_string(body_size) + "\r\nConnection: close\r\n\r\n";
}

}  // namespace netbuf
