// Field offsets of a Modbus TCP frame as the PC sends it: the MBAP header,
// then the function code and its data.
#pragma once

#include <cstdint>

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

}  // namespace netbuf::mbap
