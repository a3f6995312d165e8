#include "core/hex_text.h"

namespace netbuf {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}

std::string hex2(int v) {
  const unsigned b = static_cast<unsigned>(v) & 0xFFu;
  return std::string{kDigits[b >> 4], kDigits[b & 0xF]};
}

std::string hex_bytes(std::span<const uint8_t> bytes, const char* sep) {
  std::string out;
  const std::string s(sep);
  out.reserve(bytes.size() * (2 + s.size()));
  for (const uint8_t b : bytes) {
    out += s;
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

bool hex_equals(std::span<const uint8_t> bytes, std::string_view text) {
  if (text.size() != 2 * bytes.size()) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (text[2 * i] != kDigits[bytes[i] >> 4] || text[2 * i + 1] != kDigits[bytes[i] & 0xF])
      return false;
  return true;
}

std::string hex_min(uint32_t v, int digits) {
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  while (static_cast<int>(out.size()) < digits) out.insert(out.begin(), '0');
  return out;
}

std::string dec(int64_t v) {
  return std::to_string(v);
}

}  // namespace netbuf
