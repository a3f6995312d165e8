// The CRC-16/MODBUS that closes every RTU frame.
#pragma once

#include <cstdint>
#include <span>

namespace netbuf {

// 0xFFFF for no bytes.
uint16_t crc16(std::span<const uint8_t> bytes);
// Writes the CRC of all but the last two bytes of frame into them, low byte first.
void put_crc(std::span<uint8_t> frame);
// Whether the last two bytes of frame are the CRC of the rest.
bool crc_ok(std::span<const uint8_t> frame);

}  // namespace netbuf
