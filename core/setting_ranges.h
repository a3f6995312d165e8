// What the settings rows may hold, for netbuf applying them and for the
// installer's tool writing them.
#pragma once

#include <cstdint>

namespace netbuf {

// The poll interval (DELAY1, ms between two frames on the reader line):
// netbuf raises a smaller one to this.
inline constexpr int32_t kMinPollDelay = 20;

// TCP ports and the serial port number end up in 16-bit fields.
inline constexpr int32_t kMaxPortNumber = 65535;

}  // namespace netbuf
