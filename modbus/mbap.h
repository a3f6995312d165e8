// Modbus TCP framing: the MBAP header's field offsets as the PC sends them,
// then the function code and its data, and the one place an answer's header
// is written.
#pragma once

#include <cstdint>

#include "modbus/byte_span.h"

namespace netbuf::mbap {

inline constexpr int kTidHi = 0;
inline constexpr int kTidLo = 1;
inline constexpr int kLenHi = 4;
inline constexpr int kUnit = 6;
inline constexpr int kFunction = 7;
inline constexpr int kStartHi = 8;  // functions 3 and 16
inline constexpr int kQtyHi = 10;   // functions 3 and 16

// The unit identifier that addresses the buffer itself.
inline constexpr uint8_t kBufferUnit = 255;

// Header bytes before the unit identifier.
inline constexpr int kPrefixSize = 6;

// Writes an answer's header up to the unit identifier: the transaction
// identifier, protocol 0 and the length of what follows. Only the length's
// low byte is sent; the high byte is 0. Whole or nothing, as every write.
inline bool put_prefix(ByteWriter& out, uint8_t tid_hi, uint8_t tid_lo, int length) {
  return out.put({tid_hi, tid_lo, 0, 0, 0, static_cast<uint8_t>(length)});
}

}  // namespace netbuf::mbap
