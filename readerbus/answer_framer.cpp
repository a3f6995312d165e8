#include "readerbus/answer_framer.h"

#include <algorithm>
#include <cstring>

#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {

void drop_front(BufferState& st, int k) {
  std::memmove(st.rx_acc.data(), st.rx_acc.data() + k, static_cast<size_t>(st.rx_len - k));
  st.rx_len -= k;
}

// The bytes the accumulator holds.
std::span<const uint8_t> held(const BufferState& st) {
  return std::span(st.rx_acc).first(static_cast<std::size_t>(std::clamp(st.rx_len, 0, kRxAccSize)));
}

// A reader's exception answer counts only where a frame the PC passed through
// waits for its answer, and only for that frame's function; anywhere else
// such bytes are noise, as they always were. Whole, it must pass its CRC, or
// it is noise after all and cannot swallow an answer behind it.
bool plausible_exception(const BufferState& st) {
  const int e = st.find_reader(st.rx_acc[kRtuAddress]);
  if (e == 0) return false;
  const ReaderEntry& r = st.readers[e];
  if (r.pc_wait != kPcWaiting ||
      st.rx_acc[kRtuFunction] != (r.tx_frame[kRtuFunction] | kExceptionBit))
    return false;
  return st.rx_len < kExceptionAnswerSize || crc_ok(held(st).first(kExceptionAnswerSize));
}

// A function-3 answer longer than a poll answer only comes for a read the PC
// passed through (up to 125 registers). Anywhere else such a header is noise,
// and waiting for its bytes would swallow the answers behind it.
bool plausible_start(const BufferState& st) {
  const uint8_t fn = st.rx_acc[kRtuFunction];
  if (fn == kFnWriteMultiple) return true;
  if (fn & kExceptionBit) return plausible_exception(st);
  if (fn != kFnReadHolding) return false;
  if (st.rx_len <= kRtuByteCount) return true;  // the byte count is still to come
  const int n = st.rx_acc[kRtuByteCount];
  if (n <= kPollAnswerData) return true;
  const int e = st.find_reader(st.rx_acc[kRtuAddress]);
  return e > 0 && st.readers[e].pc_wait == kPcWaiting && n % 2 == 0 &&
         n + kF03Overhead <= kRxAccLimit;
}

// Noise, exception answers and stray bytes go one at a time until a function
// code we answer to stands in byte 1.
void resync(BufferState& st) {
  while (st.rx_len > 1 && !plausible_start(st)) {
    drop_front(st, 1);
    st.figures.stray(1);
  }
}

}  // namespace

bool feed_answer_bytes(BufferState& st, std::span<const uint8_t> chunk) {
  const auto count = static_cast<int>(std::min<std::size_t>(chunk.size(), kRxAccSize));
  if (st.rx_len < 0 || st.rx_len > kRxAccLimit - count) {
    st.figures.stray(static_cast<std::size_t>(std::max(st.rx_len, 0) + count));
    st.rx_len = 0;
    return false;
  }
  std::copy_n(chunk.begin(), count, st.rx_acc.begin() + st.rx_len);
  st.rx_len += count;
  return true;
}

std::optional<ReaderAnswer> next_answer(BufferState& st, uint8_t function) {
  resync(st);
  int size = 0;
  if (function == kFnReadHolding && f03_complete(held(st)))
    size = st.rx_acc[kRtuByteCount] + kF03Overhead;
  else if (function == kFnWriteMultiple && f16_complete(held(st)))
    size = kF16AnswerSize;
  else if (function == kExceptionBit && st.rx_len >= kExceptionAnswerSize &&
           (st.rx_acc[kRtuFunction] & kExceptionBit))
    size = kExceptionAnswerSize;
  if (size == 0) return std::nullopt;
  // Taken off before anything acts on it, so what follows (the access
  // decision above all) never works on bytes that a later chunk could move.
  ReaderAnswer a;
  std::copy_n(st.rx_acc.begin(), size, a.bytes.begin());
  a.size = size;
  drop_front(st, size);
  return a;
}

}  // namespace netbuf
