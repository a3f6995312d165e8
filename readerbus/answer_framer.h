// Cuts the reader line's byte stream into answers. Bytes wait in the buffer
// state's accumulator between chunks; nothing here acts on an answer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "core/buffer_state.h"

namespace netbuf {

struct ReaderAnswer {
  std::array<uint8_t, kRxAccLimit> bytes{};
  int size = 0;
  std::span<const uint8_t> view() const {
    return std::span(bytes).first(static_cast<std::size_t>(size));
  }
};

// Adds a chunk to the accumulator. No answer we take is longer than the
// limit: on overflow the accumulator starts clean, the chunk is dropped and
// the result is false.
bool feed_answer_bytes(BufferState& st, std::span<const uint8_t> chunk);
// Drops noise at the front, then takes a whole answer with that function
// code (3 or 16) off the accumulator when one stands there. Its CRC is not
// checked here. With kExceptionBit it takes a reader's exception answer to a
// frame the PC passed through, whose CRC has been checked.
std::optional<ReaderAnswer> next_answer(BufferState& st, uint8_t function);

}  // namespace netbuf
