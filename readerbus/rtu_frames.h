// Modbus RTU frames of the reader line and the CRC-16/MODBUS that closes them.
#pragma once

#include <array>
#include <cstdint>

#include "core/buffer_state.h"

namespace netbuf {

// RTU frame fields.
inline constexpr int kRtuAddress = 0;
inline constexpr int kRtuFunction = 1;
inline constexpr int kRtuByteCount = 2;
inline constexpr uint8_t kFnReadHolding = 0x03;
inline constexpr uint8_t kFnWriteMultiple = 0x10;
inline constexpr int kF03Overhead = 5;  // address, function, byte count, CRC
inline constexpr int kF16AnswerSize = 8;
// The forwarded-frame area takes the 7 header bytes of a write and this many
// data bytes of the PC's request.
inline constexpr int kForwardMaxData = 24;

// CRC over bytes [from, to) of buf; 0xFFFF for an empty range.
uint16_t crc16(const uint8_t* buf, int from, int to);
// Places the CRC of bytes [0, n) at n (low) and n + 1 (high).
void put_crc(uint8_t* buf, int n);

std::array<uint8_t, 8> poll_frame(int address);
std::array<uint8_t, 11> relay_frame(int address);
std::array<uint8_t, 11> buzzer_frame(int address, int32_t pattern);

// The RTU frame that passes a Modbus TCP request (len bytes from the MBAP
// header on) to a reader. Returns the frame length, or 0 (out untouched) when
// the function is not 3 or 16, the request is shorter than its function needs,
// or a write carries more than kForwardMaxData bytes.
int forwarded_frame(const uint8_t* req, int len, std::array<uint8_t, kTxFrameSize>& out);

// Answer checks on bytes held at the front of an accumulator of len bytes.
bool f03_complete(const uint8_t* buf, int len);
bool f03_crc_ok(const uint8_t* buf);  // call only when complete
bool f16_complete(const uint8_t* buf, int len);
bool f16_crc_ok(const uint8_t* buf);
// Whether a function-16 answer acknowledges a relay frame (not a buzzer one).
bool acknowledges_relay(const uint8_t* buf);

}  // namespace netbuf
