#pragma once
#include "core/context.h"

namespace netbuf {
// Function 20 for the frame at the request cursor (pc_request.pos): appends
// its answer to pc_tx and moves the cursor on by 16.
// An event answer does not move the read pointer (registers 800/801) itself:
// that waits until hand_over_read_pointer, once the socket took the answer.
void read_file_record(Context& ctx);
// The socket took pc_tx: the events in it count as read.
void hand_over_read_pointer(Context& ctx);
// Function 21 for the frame at the request cursor: stores the card records and
// moves the cursor past the frame. Returns false when the rest of the read must not
// be processed (a file other than 8, or a frame that runs past the read).
bool write_file_record(Context& ctx);
}  // namespace netbuf
