// The frames netbuf puts on the reader line and when. The poll timer's tick
// owes the round robin a turn: the next reader gets its pending command or a
// poll. Relays, buzzers and the PC's frames do not wait for their reader's
// turn: they go at the line's next free moment, ahead of the round robin.
// A turn owed waits behind one such command at most, so a stream of
// commands cannot stop the polls.
#pragma once
#include "core/context.h"

namespace netbuf {
// The poll tick: a turn of the round robin is owed; served now when the line
// is free, else at its next free moment.
void on_poll_tick(Context& ctx);
// The line's wake-up (line_wake_ms): an answer's time-out, or the line free
// again with a frame waiting.
void on_line_moment(Context& ctx);
}  // namespace netbuf
