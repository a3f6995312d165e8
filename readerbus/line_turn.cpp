#include "readerbus/line_turn.h"

#include <algorithm>

#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {
constexpr int64_t kBitsPerChar = 11;  // start, 8 data, stop, and a bit of gap
constexpr int64_t kBaud = 19200;
}  // namespace

int64_t line_ms(int chars) {
  return (std::max(chars, 0) * kBitsPerChar * 1000 + kBaud - 1) / kBaud;
}

void line_sent(Context& ctx, std::span<const uint8_t> frame) {
  LineTurn& t = ctx.st.line;
  // Nothing went out on a closed line, and nothing answers an empty write.
  if (frame.empty() || !ctx.serial.is_open()) return;
  const int64_t now = ctx.clock.monotonic_ms();
  t.answer_owed = true;
  t.address = frame[kRtuAddress];
  t.answer_size = expected_answer_size(frame);
  // The write does not wait for the line: the frame itself goes out first.
  const int64_t frame_ms = line_ms(static_cast<int>(frame.size()));
  t.due_ms = now + frame_ms + line_ms(t.answer_size) + kTurnMarginMs;
  // A reader may start late, by up to its answer's own length.
  t.last_due_ms = t.due_ms + line_ms(t.answer_size);
  // An answer over before the next tick needs no waiting: polls, relays and
  // buzzers keep the cycle's own pace.
  if (t.due_ms - now <= ctx.timers.poll_interval()) t.answer_owed = false;
}

bool line_free(Context& ctx) {
  LineTurn& t = ctx.st.line;
  if (t.answer_owed && ctx.clock.monotonic_ms() >= t.due_ms) {
    t.answer_owed = false;
    ctx.st.figures.timed_out();
  }
  return !t.answer_owed;
}

void line_heard(Context& ctx) {
  LineTurn& t = ctx.st.line;
  if (!t.answer_owed) return;
  const int64_t rest =
      ctx.clock.monotonic_ms() + line_ms(t.answer_size - ctx.st.rx_len) + kTurnMarginMs;
  t.due_ms = std::clamp(rest, t.due_ms, std::max(t.due_ms, t.last_due_ms));
}

void line_answered(Context& ctx, uint8_t address) {
  ctx.st.figures.awaited_answered(address, ctx.clock.monotonic_ms());
  // A late answer to an earlier frame does not end the wait for this one.
  if (address == ctx.st.line.address) ctx.st.line.answer_owed = false;
}

}  // namespace netbuf
