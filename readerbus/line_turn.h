// Whose turn it is on the RS485 line. The line is half-duplex: a frame of
// ours sent while a reader is still answering destroys both. After each frame
// the line is the reader's for as long as the frame and its answer take at
// 19200 baud, 11 bits a character, plus kTurnMarginMs for the reader to
// start; a whole answer ends that early. Only answers that outlast a poll
// interval (long reads the PC passed through) hold the cycle back: the
// others are over before the next tick anyway.
#pragma once

#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {

// The reader's time to turn round, and slack for the host's clock.
inline constexpr int kTurnMarginMs = 5;

// Milliseconds n characters take on the line, rounded up.
int64_t line_ms(int chars);
// A frame went out; its answer is now due.
void line_sent(Context& ctx, std::span<const uint8_t> frame);
// Whether a frame may go out now.
bool line_free(Context& ctx);
// Bytes came in: while an answer is awaited it is still coming, so the line
// stays the reader's for what is left of it.
void line_heard(Context& ctx);
// A whole answer from that address was taken: the line is ours again.
void line_answered(Context& ctx, uint8_t address);

}  // namespace netbuf
