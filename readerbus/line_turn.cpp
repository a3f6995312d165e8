#include "readerbus/line_turn.h"

#include <algorithm>

#include "readerbus/pass_through.h"
#include "readerbus/reader_health.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {
constexpr int64_t kBitsPerChar = 11;  // start, 8 data, stop, and a bit of gap
constexpr int64_t kBaud = 19200;

bool work_waiting(const BufferState& st) {
  if (st.line.turn_owed || st.pc_request.passes.size > 0) return true;
  const int count = std::min(st.reader_count, kReaderCount);
  for (int e = 1; e <= count; ++e)
    if (st.readers[e].command_due) return true;
  return false;
}
}  // namespace

int64_t line_ms(int chars) {
  return (std::max(chars, 0) * kBitsPerChar * 1000 + kBaud - 1) / kBaud;
}

int64_t silence_ms() {
  return (35 * kBitsPerChar * 1000 + 10 * kBaud - 1) / (10 * kBaud);
}

void send_on_line(Context& ctx, std::span<const uint8_t> frame) {
  ctx.serial.send(frame);
  // Nothing went out on a closed line, and nothing answers an empty write.
  if (frame.empty() || !ctx.serial.is_open()) return;
  LineTurn& t = ctx.st.line;
  const int64_t now = ctx.clock.monotonic_ms();
  // The write does not wait for the line: the frame itself goes out first.
  const int64_t sent_end = now + line_ms(static_cast<int>(frame.size()));
  t.address = frame[kRtuAddress];
  t.answer_size = expected_answer_size(frame);
  t.free_ms = sent_end + silence_ms();
  t.answer_owed = t.answer_size > 0;
  t.answer_due_ms = sent_end + t.response_timeout_ms;
  t.limit_ms = t.answer_due_ms + line_ms(t.answer_size) + kTurnMarginMs;
}

bool answer_overdue(Context& ctx) {
  LineTurn& t = ctx.st.line;
  const int64_t now = ctx.clock.monotonic_ms();
  if (!t.answer_owed || now < t.answer_due_ms) return false;
  t.answer_owed = false;
  ctx.st.figures.timed_out();
  note_no_answer(ctx, t.address);
  pass_through_no_answer(ctx, t.address);
  return true;
}

bool line_free(Context& ctx) {
  answer_overdue(ctx);
  const LineTurn& t = ctx.st.line;
  return !t.answer_owed && ctx.clock.monotonic_ms() >= std::min(t.free_ms, t.limit_ms);
}

void line_heard(Context& ctx) {
  LineTurn& t = ctx.st.line;
  const int64_t now = ctx.clock.monotonic_ms();
  t.free_ms = std::max(t.free_ms, now + silence_ms());
  if (!t.answer_owed) return;
  // The answer has begun: it has its own length to come in, never past the
  // limit.
  const int64_t rest = now + line_ms(t.answer_size - ctx.st.rx_len) + kTurnMarginMs;
  t.answer_due_ms = std::min(std::max(t.answer_due_ms, rest), t.limit_ms);
}

void line_answered(Context& ctx, uint8_t address) {
  LineTurn& t = ctx.st.line;
  // A late answer to an earlier frame does not end the wait for this one.
  if (!t.answer_owed || address != t.address) return;
  t.answer_owed = false;
  ctx.st.figures.awaited_answered(address, ctx.clock.monotonic_ms());
  t.free_ms = ctx.clock.monotonic_ms() + silence_ms();
}

int64_t line_wake_ms(Context& ctx) {
  const LineTurn& t = ctx.st.line;
  if (t.answer_owed) return t.answer_due_ms;
  // A closed line, or one the operator has stopped (the poll timer off),
  // sends nothing of its own accord.
  if (!ctx.serial.is_open() || !ctx.timers.poll_timer() || !work_waiting(ctx.st)) return -1;
  return std::min(t.free_ms, t.limit_ms);
}

}  // namespace netbuf
