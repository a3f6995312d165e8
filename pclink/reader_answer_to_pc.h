// The PC's side of a frame passed through to a reader: the reader's RTU
// answer goes back to the PC as a Modbus TCP answer.
#pragma once
#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {
// Sends the answer (CRC left off; its first byte, the reader's address, takes
// the unit identifier's place) carrying the entry's pc_tid; nothing when the
// PC is not connected.
void reader_answer_to_pc(Context& ctx, int entry, std::span<const uint8_t> answer);
}  // namespace netbuf
