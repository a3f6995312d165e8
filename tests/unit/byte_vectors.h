// Byte vectors written as the wire shows them, for expected frames in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace netbuf::testing {

using Bytes = std::vector<uint8_t>;

// "00 0A ff" -> {0x00, 0x0A, 0xFF}
inline Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string b;
  while (in >> b) out.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
  return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace netbuf::testing
