#include "core/address_list.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace netbuf {

namespace {

constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool is_mapped(const Address16& a) {
  return std::memcmp(a.data(), kMapped, sizeof kMapped) == 0;
}

// One address in either family; the width in bits of what was written.
std::optional<std::pair<Address16, int>> parse_address(std::string_view s) {
  const std::string text(s);
  Address16 a{};
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    std::memcpy(a.data(), kMapped, sizeof kMapped);
    std::memcpy(a.data() + 12, &v4, 4);
    return std::pair{a, 32};
  }
  if (inet_pton(AF_INET6, text.c_str(), a.data()) == 1) return std::pair{a, 128};
  return std::nullopt;
}

bool matches(const Address16& a, const Address16& net, int prefix) {
  const int whole = prefix / 8;
  if (std::memcmp(a.data(), net.data(), static_cast<std::size_t>(whole)) != 0) return false;
  const int bits = prefix % 8;
  if (bits == 0) return true;
  const auto mask = static_cast<uint8_t>(0xff << (8 - bits));
  return (a[whole] & mask) == (net[whole] & mask);
}

}  // namespace

std::optional<AddressList> AddressList::parse(std::string_view text, std::string& error) {
  AddressList list;
  std::string_view rest = text;
  while (true) {
    const size_t comma = rest.find(',');
    const std::string_view entry = trim(rest.substr(0, comma));
    const size_t slash = entry.find('/');
    const auto addr = parse_address(entry.substr(0, slash));
    int prefix = addr ? addr->second : 0;
    bool ok = addr.has_value();
    if (ok && slash != std::string_view::npos) {
      const std::string_view p = entry.substr(slash + 1);
      int n = -1;
      const auto r = std::from_chars(p.data(), p.data() + p.size(), n);
      ok = !p.empty() && r.ec == std::errc() && r.ptr == p.data() + p.size() && n >= 0 &&
           n <= addr->second;
      prefix = n;
    }
    if (!ok) {
      error = entry.empty() ? std::string("empty entry") : std::string(entry);
      return std::nullopt;
    }
    // Held as 128-bit blocks: an IPv4 prefix counts from bit 96.
    Block b{addr->first, addr->second == 32 ? prefix + 96 : prefix};
    // Host bits cleared, so the text shows the block that is matched.
    for (int bit = b.prefix; bit < 128; ++bit)
      b.net[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    if (!list.text_.empty()) list.text_ += ',';
    char shown[INET6_ADDRSTRLEN] = {};
    if (addr->second == 32)
      inet_ntop(AF_INET, b.net.data() + 12, shown, sizeof shown);
    else
      inet_ntop(AF_INET6, b.net.data(), shown, sizeof shown);
    list.text_ += std::string(shown) + "/" + std::to_string(prefix);
    list.blocks_.push_back(b);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return list;
}

bool AddressList::allows(const Address16& peer) const {
  for (const Block& b : blocks_)
    if (matches(peer, b.net, b.prefix)) return true;
  return false;
}

std::optional<ListenAddress> parse_listen_address(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  int number = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (ec != std::errc{} || end != port.data() + port.size() || number < 1 || number > 65535)
    return std::nullopt;
  const auto addr = parse_address(host);
  // An IPv6 address needs its brackets, or its last group would read as the port.
  if (!addr || (addr->second == 128) != bracketed) return std::nullopt;
  return ListenAddress{addr->first, addr->second == 32, number, std::string(text)};
}

std::string address_text(const Address16& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (is_mapped(a)) {
    inet_ntop(AF_INET, a.data() + 12, text, sizeof text);
  } else {
    inet_ntop(AF_INET6, a.data(), text, sizeof text);
  }
  return text;
}

}  // namespace netbuf
