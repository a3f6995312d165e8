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

// CRC-16/Modbus of sample frames in wire order (low, high), from
// pymodbus.utilities.computeCRC, pymodbus 3.0; not from our own code.
struct CrcVector {
  const char *data, *crc;
};
inline constexpr CrcVector kPymodbusCrcs[] = {
    {"", "FF FF"},
    {"FF", "FF 00"},
    {"11 03 00 6B 00 03", "76 87"},
    {"01 83 02", "C0 F1"},
    {"01 03 0A 00 00 00 00 0A 1B 2C 3D 4E 5F", "AC DA"},
    {"01 10 00 96 00 01 02 00 FE", "3A E6"},
    {"03 10 00 05 00 01 02 12 34", "B2 12"},
};

}  // namespace netbuf::testing
