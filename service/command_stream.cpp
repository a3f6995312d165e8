#include "service/command_stream.h"

#include <utility>

namespace netbuf {

std::vector<std::string> take_commands(ConnectionState& c, std::span<const uint8_t> bytes,
                                       int64_t now_ms) {
  std::vector<std::string> out;
  if (auto stale = take_stale_command(c, now_ms)) out.push_back(std::move(*stale));
  std::string& part = c.partial_command;
  for (const uint8_t b : bytes) {
    if (part.empty()) {
      // "...$\r\n" from a line-minded client: the line end starts nothing.
      if (b == '\r' || b == '\n') continue;
      c.partial_since_ms = now_ms;
    }
    part.push_back(static_cast<char>(b));
    if (b == '$') out.push_back(std::exchange(part, {}));
  }
  if (part.size() > kMaxPartialCommand) out.push_back(std::exchange(part, {}));
  return out;
}

std::optional<std::string> take_stale_command(ConnectionState& c, int64_t now_ms) {
  if (c.partial_command.empty() || now_ms - c.partial_since_ms < kPartialCommandMs)
    return std::nullopt;
  return std::exchange(c.partial_command, {});
}

}  // namespace netbuf
