#include "core/hex_text.h"

namespace netbuf {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}

std::string hex2(int v) {
  const unsigned b = static_cast<unsigned>(v) & 0xFFu;
  return std::string{kDigits[b >> 4], kDigits[b & 0xF]};
}

std::string hex_bytes(const uint8_t* p, int n, const char* sep) {
  std::string out;
  if (n <= 0) return out;
  const std::string s(sep);
  out.reserve(static_cast<size_t>(n) * (2 + s.size()));
  for (int i = 0; i < n; ++i) {
    out += s;
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0xF];
  }
  return out;
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
