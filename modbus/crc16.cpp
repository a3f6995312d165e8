#include "modbus/crc16.h"

#include <array>

namespace netbuf {

namespace {

// One step per byte instead of eight: the CRC of each byte value, reflected
// polynomial 0xA001, worked out at compile time.
constexpr std::array<uint16_t, 256> kCrcTable = [] {
  std::array<uint16_t, 256> t{};
  for (unsigned v = 0; v < 256; ++v) {
    uint16_t c = static_cast<uint16_t>(v);
    for (int bit = 0; bit < 8; ++bit)
      c = (c & 1u) ? static_cast<uint16_t>((c >> 1) ^ 0xA001u) : static_cast<uint16_t>(c >> 1);
    t[v] = c;
  }
  return t;
}();

}  // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint16_t c = 0xFFFF;
  for (uint8_t b : bytes) c = static_cast<uint16_t>((c >> 8) ^ kCrcTable[(c ^ b) & 0xFFu]);
  return c;
}

void put_crc(std::span<uint8_t> frame) {
  if (frame.size() < 2) return;
  const uint16_t c = crc16(frame.first(frame.size() - 2));
  frame[frame.size() - 2] = static_cast<uint8_t>(c & 0xFF);
  frame[frame.size() - 1] = static_cast<uint8_t>(c >> 8);
}

bool crc_ok(std::span<const uint8_t> frame) {
  if (frame.size() < 2) return false;
  const std::size_t n = frame.size() - 2;
  return crc16(frame.first(n)) == frame[n] + 256 * frame[n + 1];
}

}  // namespace netbuf
