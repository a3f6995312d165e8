#include "readerbus/poll_cycle.h"

#include <algorithm>

#include "core/hex_text.h"
#include "core/log_texts.h"
#include "modbus/byte_span.h"
#include "readerbus/line_turn.h"
#include "readerbus/reader_health.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {

template <size_t N>
void write_frame(Context& ctx, const std::array<uint8_t, N>& f, FrameKind kind) {
  ctx.serial.send(f);
  line_sent(ctx, f);
  if (ctx.serial.is_open()) ctx.st.figures.frame_sent(f[0], kind, N, ctx.clock.monotonic_ms());
}

void send_poll(Context& ctx, Tczytnik& r) {
  const auto f = poll_frame(r.adr485);
  r.sent = kActionNone;
  write_frame(ctx, f, FrameKind::Poll);
  // A closed line is reported as such, not as every reader falling silent.
  if (ctx.serial.is_open()) note_poll_sent(ctx, r.adr485);
  if (ctx.log.enabled(LogCategory::Rs485)) ctx.log.log_line(texts::kBufToReader + hex_bytes(f, ""));
}

void send_buzzer(Context& ctx, Tczytnik& r, int32_t pattern) {
  write_frame(ctx, buzzer_frame(r.adr485, pattern), FrameKind::Buzzer);
  r.sent = kActionBuzzerN;
  if (ctx.log.enabled(LogCategory::Events)) ctx.log.log_line(texts::kBuzzer + dec(r.adr485));
}

void send_relay(Context& ctx, Tczytnik& r) {
  write_frame(ctx, relay_frame(r.adr485), FrameKind::Relay);
  r.sent = kActionRelay;
  if (ctx.log.enabled(LogCategory::Events)) ctx.log.log_line(texts::kRelay + dec(r.adr485));
}

// Later turns of a reader whose answer is still owed find tx_len 0: they write
// nothing but still leave the bare line, so the operator sees the wait.
void send_forwarded(Context& ctx, Tczytnik& r) {
  const auto frame = first_n(r.tx_frame, r.tx_len);
  ctx.serial.send(frame);
  line_sent(ctx, frame);
  if (ctx.serial.is_open() && !frame.empty())
    ctx.st.figures.frame_sent(frame[0], FrameKind::PassThrough, frame.size(),
                              ctx.clock.monotonic_ms());
  r.tx_len = 0;
  if (ctx.log.enabled(LogCategory::Rs485))
    ctx.log.log_line(texts::kPcBufReader + hex_bytes(frame, "."));
}

}  // namespace

void on_poll_tick(Context& ctx) {
  BufferState& st = ctx.st;
  ctx.log.log_limit();
  st.figures.tick();
  // A reader still answering has the line; this turn waits for the next tick.
  if (!line_free(ctx)) {
    st.figures.tick_line_busy();
    return;
  }

  const int count = std::min(st.reader_count, kReaderCount);
  // A rebuild may have shrunk the list below poll_index: start again at 1.
  st.poll_index = (st.poll_index >= 0 && st.poll_index < count) ? st.poll_index + 1 : 1;
  if (count < 1) return;

  Tczytnik& r = st.readers[st.poll_index];
  switch (r.action) {
    case kActionNone:
      // A turn without a command ends a remote opening's hold, whether a
      // pass-through holds off its poll or not: a door not being polled
      // must still open on the next command.
      r.remote_hold = 0;
      if (r.hold_off <= 0) send_poll(ctx, r);  // a pass-through holds off polls only
      break;
    case kActionBuzzerN:
      send_buzzer(ctx, r, st.n_card);  // the pattern as it is now, not when the card was read
      r.action = kActionNone;
      break;
    case kActionRelay:
      send_relay(ctx, r);  // again at every turn until the reader acknowledges
      break;
    case kActionForward:
      send_forwarded(ctx, r);
      break;
    case kActionBuzzerS:
      send_buzzer(ctx, r, st.s_card);
      r.action = kActionNone;
      break;
    default:
      break;
  }
}

}  // namespace netbuf
