// Modbus RTU frame fields and the function codes the reader line speaks.
#pragma once

#include <cstdint>

namespace netbuf {

inline constexpr int kRtuAddress = 0;
inline constexpr int kRtuFunction = 1;
inline constexpr int kRtuByteCount = 2;  // in answers of function 3
inline constexpr int kRtuQuantity = 4;   // in requests of functions 3 and 16
inline constexpr uint8_t kFnReadHolding = 0x03;
inline constexpr uint8_t kFnWriteMultiple = 0x10;
inline constexpr int kF03Overhead = 5;  // address, function, byte count, CRC
inline constexpr int kF16AnswerSize = 8;
// An exception answer: address, function with this bit set, code, CRC.
inline constexpr uint8_t kExceptionBit = 0x80;
inline constexpr int kExceptionAnswerSize = 5;

}  // namespace netbuf
