// Whose turn it is on the RS485 line. The line is half-duplex: a frame of
// ours sent while a reader is still answering destroys both. After each frame
// the line is the addressed reader's until its whole answer is in, or until
// its response time-out has run out with no answer begun; then 3.5
// characters of silence, and the line is ours again. A reader whose bytes
// keep coming holds the line for its answer's length at most, so a babbling
// line cannot hold the doors.
//
// Every frame goes out through send_on_line, every answer taken ends in
// line_answered, and answer_overdue is the one place that decides the
// awaited answer did not come in time.
#pragma once

#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {

// Slack for the host's clock and the reader's first byte once it has begun.
inline constexpr int kTurnMarginMs = 5;

// Milliseconds n characters take on the line at 19200 baud, 11 bits each,
// rounded up.
int64_t line_ms(int chars);
// The 3.5 characters of silence before each frame, rounded up.
int64_t silence_ms();

// Writes the frame and gives the line to the reader it addresses.
void send_on_line(Context& ctx, std::span<const uint8_t> frame);
// Whether a frame may go out now. Runs answer_overdue first.
bool line_free(Context& ctx);
// When the awaited answer's time is up: the reader counts it against its
// health, a PC waiting for it gets its exception, and the line is ours.
// Returns whether it ran out now.
bool answer_overdue(Context& ctx);
// Bytes came in: an answer still coming keeps the line, and the next frame
// waits for silence behind them.
void line_heard(Context& ctx);
// A whole answer from that address was taken.
void line_answered(Context& ctx, uint8_t address);
// The monotonic time at which the line wants on_line_moment (poll_cycle.h):
// the awaited answer's time-out, or the end of the silence when something
// waits to go out; -1 for nothing to do.
int64_t line_wake_ms(Context& ctx);

}  // namespace netbuf
