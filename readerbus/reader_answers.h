#pragma once
#include <cstdint>

#include "core/context.h"

namespace netbuf {
// nrComm1AfterReceive: one chunk of bytes from the reader line.
void on_serial_receive(Context& ctx, const uint8_t* bytes, int count);
// Discards the bytes held in the receive accumulator.
void reset_rx(Context& ctx);
// Sends an answer frame of len bytes (CRC left off) to the PC as a Modbus TCP
// answer carrying the entry's pc_tid; nothing when the PC is not connected.
void answer_to_pc(Context& ctx, int entry, const uint8_t* frame, int len);
}  // namespace netbuf
