#include "service/command_parse.h"

#include <optional>
#include <string_view>

#include "core/decimal.h"

namespace netbuf {

namespace {

// Takes the text before the first `sep` and drops it with the separator.
// Without the separator the field is empty and `rest` stays as it was.
std::string_view take_until(std::string_view& rest, char sep) {
  const size_t p = rest.find(sep);
  if (p == std::string_view::npos) return {};
  std::string_view field = rest.substr(0, p);
  rest.remove_prefix(p + 1);
  return field;
}

int32_t to_integer(std::string_view field) {
  if (auto v = parse_decimal<int32_t>(field)) return *v;
  throw CommandError("'" + std::string(field) + "' is not a valid integer value");
}

}  // namespace

RemoteCommand parse_remote_command(std::span<const uint8_t> bytes) {
  std::string_view rest(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  RemoteCommand cmd;

  // The sender runs from the second character up to and including the first
  // comma; the lead character goes with it.
  if (const size_t p = rest.find(','); p != std::string_view::npos) {
    cmd.sender.assign(rest.substr(1, p));
    rest.remove_prefix(p + 1);
  }
  cmd.text.assign(take_until(rest, ','));
  cmd.typ = to_integer(take_until(rest, ','));
  cmd.rozkaz = to_integer(take_until(rest, ','));
  cmd.adres = int64_t{to_integer(take_until(rest, '$'))} + 1;
  return cmd;
}

}  // namespace netbuf
