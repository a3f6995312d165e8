#include "readerbus/poll_cycle.h"

#include <algorithm>

#include "core/hex_text.h"
#include "core/log_texts.h"
#include "modbus/byte_span.h"
#include "readerbus/line_turn.h"
#include "readerbus/pass_through.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {

template <size_t N>
void write_frame(Context& ctx, const std::array<uint8_t, N>& f, FrameKind kind) {
  send_on_line(ctx, f);
  if (ctx.serial.is_open()) ctx.st.figures.frame_sent(f[0], kind, N, ctx.clock.monotonic_ms());
}

void send_poll(Context& ctx, ReaderEntry& r) {
  const auto f = poll_frame(r.adr485);
  r.sent = kActionNone;
  write_frame(ctx, f, FrameKind::Poll);
  if (ctx.log.enabled(LogCategory::Rs485)) ctx.log.log_line(texts::kBufToReader + hex_bytes(f, ""));
}

void send_buzzer(Context& ctx, ReaderEntry& r, int32_t pattern) {
  write_frame(ctx, buzzer_frame(r.adr485, pattern), FrameKind::Buzzer);
  r.sent = kActionBuzzerN;
  if (ctx.log.enabled(LogCategory::Events)) ctx.log.log_line(texts::kBuzzer + dec(r.adr485));
}

void send_relay(Context& ctx, ReaderEntry& r) {
  write_frame(ctx, relay_frame(r.adr485), FrameKind::Relay);
  r.sent = kActionRelay;
  if (ctx.log.enabled(LogCategory::Events)) ctx.log.log_line(texts::kRelay + dec(r.adr485));
}

// Later turns of a reader whose answer is still owed find tx_len 0: they write
// nothing but still leave the bare line, so the operator sees the wait.
void send_forwarded(Context& ctx, ReaderEntry& r) {
  const auto frame = first_n(r.tx_frame, r.tx_len);
  send_on_line(ctx, frame);
  if (ctx.serial.is_open() && !frame.empty())
    ctx.st.figures.frame_sent(frame[0], FrameKind::PassThrough, frame.size(),
                              ctx.clock.monotonic_ms());
  r.tx_len = 0;
  if (ctx.log.enabled(LogCategory::Rs485))
    ctx.log.log_line(texts::kPcBufReader + hex_bytes(frame, "."));
}

// The reader's pending command, else (at its turn only) a poll. Returns
// whether a frame went out.
bool serve_reader(Context& ctx, ReaderEntry& r, bool turn) {
  r.command_due = 0;
  switch (r.action) {
    case kActionNone:
      if (!turn) return false;
      // A turn without a command ends a remote opening's hold, whether a
      // pass-through holds off its poll or not: a door not being polled
      // must still open on the next command.
      r.remote_hold = 0;
      if (r.hold_off > 0) return false;  // a pass-through holds off polls only
      send_poll(ctx, r);
      return true;
    case kActionBuzzerN:
      send_buzzer(ctx, r, ctx.st.n_card);  // the pattern as it is now, not when the card was read
      r.action = kActionNone;
      return true;
    case kActionRelay:
      send_relay(ctx, r);  // again at every turn until the reader acknowledges
      return true;
    case kActionForward:
      send_forwarded(ctx, r);
      return r.tx_len > 0;
    case kActionBuzzerS:
      send_buzzer(ctx, r, ctx.st.s_card);
      r.action = kActionNone;
      return true;
    default:
      return false;
  }
}

bool serve_turn(Context& ctx) {
  BufferState& st = ctx.st;
  const int count = std::min(st.reader_count, kReaderCount);
  // A rebuild may have shrunk the list below poll_index: start again at 1.
  st.poll_index = (st.poll_index >= 0 && st.poll_index < count) ? st.poll_index + 1 : 1;
  if (count < 1) return false;
  return serve_reader(ctx, st.readers[st.poll_index], true);
}

// The next reader, after the last one served this way, whose relay or
// buzzer has not gone out yet; 0 for none.
int due_command(const BufferState& st) {
  const int count = std::min(st.reader_count, kReaderCount);
  for (int i = 1; i <= count; ++i) {
    const int e = (st.line.command_cursor + i - 1) % count + 1;
    if (st.readers[e].command_due) return e;
  }
  return 0;
}

// A relay or buzzer first (someone stands at the door), else the PC's
// oldest request.
bool serve_command(Context& ctx) {
  BufferState& st = ctx.st;
  if (const int e = due_command(st)) {
    st.line.command_cursor = e;
    if (serve_reader(ctx, st.readers[e], false)) return true;
  }
  const int e = take_pass_request(ctx);
  if (e == 0) return false;
  send_forwarded(ctx, st.readers[e]);
  // Nothing went out (the port is closed): no answer will come.
  if (!st.line.answer_owed) pass_through_no_answer(ctx, static_cast<uint8_t>(st.readers[e].adr485));
  return true;
}

void serve_line(Context& ctx) {
  LineTurn& t = ctx.st.line;
  if (!line_free(ctx)) return;
  // Commands go ahead of the round robin, but an owed turn waits behind one
  // command at most.
  if (t.turn_owed && t.last_was_command) {
    t.turn_owed = false;
    t.last_was_command = false;
    if (serve_turn(ctx)) return;
  }
  if (serve_command(ctx)) {
    t.last_was_command = true;
    return;
  }
  if (t.turn_owed) {
    t.turn_owed = false;
    t.last_was_command = false;
    serve_turn(ctx);
  }
}

}  // namespace

void on_poll_tick(Context& ctx) {
  ctx.log.log_limit();
  ctx.st.figures.tick();
  // A turn owed since the last tick never went out: the line was busy.
  if (ctx.st.line.turn_owed) ctx.st.figures.tick_line_busy();
  ctx.st.line.turn_owed = true;
  serve_line(ctx);
}

void on_line_moment(Context& ctx) {
  if (ctx.timers.poll_timer())
    serve_line(ctx);
  else
    answer_overdue(ctx);
}

}  // namespace netbuf
