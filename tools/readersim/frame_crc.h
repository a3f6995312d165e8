// The simulator's CRC helpers, on the line's one CRC-16 (readerbus/rtu_frames).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "readerbus/rtu_frames.h"

namespace netbuf::readersim {

// True when the last two of n bytes are the CRC of the ones before, low first.
inline bool frame_crc_ok(const uint8_t* p, size_t n) {
  if (n < 3) return false;
  const uint16_t c = crc16(p, 0, static_cast<int>(n - 2));
  return p[n - 2] == (c & 0xFF) && p[n - 1] == (c >> 8);
}

inline void append_crc(std::vector<uint8_t>& frame) {
  const size_t n = frame.size();
  frame.resize(n + 2);
  put_crc(frame.data(), static_cast<int>(n));
}

}  // namespace netbuf::readersim
