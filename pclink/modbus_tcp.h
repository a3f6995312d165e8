#pragma once
#include "core/context.h"

namespace netbuf {
// The PC's data: one read of the PC's connection (always index 0).
void on_pc_data(Context& ctx);
// Serves the read held in pc_request (rx, rx_len bytes): the answers to send go to
// pc_tx, a frame for a reader is parked at that reader. Returns whether
// pc_tx is to be sent; no I/O of its own.
bool answer_pc_read(Context& ctx);
}  // namespace netbuf
