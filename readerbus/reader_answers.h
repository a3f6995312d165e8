#pragma once
#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {
// The line's data: one chunk of bytes from the reader line.
void on_serial_receive(Context& ctx, std::span<const uint8_t> chunk);
// Discards the bytes held in the receive accumulator.
void reset_rx(Context& ctx);
}  // namespace netbuf
