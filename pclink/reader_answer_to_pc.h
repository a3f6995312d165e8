// The PC's side of a frame passed through to a reader: the reader's RTU
// answer goes back to the PC as a Modbus TCP answer.
#pragma once
#include <cstdint>
#include <span>

#include "core/context.h"

namespace netbuf {
// Sends the answer (CRC left off; its first byte, the reader's address, takes
// the unit identifier's place) under transaction identifier 0, tid; nothing
// when the PC is not connected.
void reader_answer_to_pc(Context& ctx, uint8_t tid, std::span<const uint8_t> answer);
}  // namespace netbuf
