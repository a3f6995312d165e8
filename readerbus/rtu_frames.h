// Modbus RTU frames of the reader line and the CRC-16/MODBUS that closes them.
#pragma once

#include <array>
#include <cstdint>

namespace netbuf {

// CRC over bytes [from, to) of buf; 0xFFFF for an empty range.
uint16_t crc16(const uint8_t* buf, int from, int to);
// Places the CRC of bytes [0, n) at n (low) and n + 1 (high).
void put_crc(uint8_t* buf, int n);

std::array<uint8_t, 8> poll_frame(int address);
std::array<uint8_t, 11> relay_frame(int address);
std::array<uint8_t, 11> buzzer_frame(int address, int32_t pattern);

// Answer checks on bytes held at the front of an accumulator of len bytes.
bool f03_complete(const uint8_t* buf, int len);
bool f03_crc_ok(const uint8_t* buf);  // call only when complete
bool f16_complete(const uint8_t* buf, int len);
bool f16_crc_ok(const uint8_t* buf);

}  // namespace netbuf
