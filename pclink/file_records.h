#pragma once
#include "core/context.h"

namespace netbuf {
// Function 20 for the frame at pc_rx_pos: appends its answer to pc_tx and
// advances pc_rx_pos by 16.
void read_file_record(Context& ctx);
// Function 21 for the frame at pc_rx_pos: stores the card records and advances
// pc_rx_pos past the frame. Returns false when the rest of the read must not
// be processed (a file other than 8, or a frame that runs past the read).
bool write_file_record(Context& ctx);
}  // namespace netbuf
