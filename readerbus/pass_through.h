#pragma once
#include <cstdint>

#include "core/context.h"

namespace netbuf {
// Parks the PC's request held at pc_rx[0] for the reader it addresses.
void pass_through(Context& ctx, uint8_t tid_low);
// One write-back tick of the pass-through hold-off: a reader whose hold-off
// ends is released, answered or not.
void pass_through_tick(BufferState& st);
}  // namespace netbuf
