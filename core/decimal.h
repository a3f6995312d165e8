// The one integer parser for text from outside: an optional leading minus,
// decimal digits and nothing else, within the range of T.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace netbuf {

template <class T>
std::optional<T> parse_decimal(std::string_view s) {
  T v{};
  // from_chars takes no '+', no blanks and no base prefix; the whole text
  // must be consumed.
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace netbuf
