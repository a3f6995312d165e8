#pragma once
#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {
// Parks a PC's request (from the unit identifier on) for the reader it
// addresses; the reader's answer goes to the PC by `route`, with tid_low.
void pass_through(Context& ctx, std::span<const uint8_t> frame, uint8_t tid_low,
                  PcAnswerRoute route);
// One write-back tick of the pass-through hold-off: a reader whose hold-off
// ends is released, answered or not.
void pass_through_tick(BufferState& st);
}  // namespace netbuf
