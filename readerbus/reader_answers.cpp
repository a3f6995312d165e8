#include "readerbus/reader_answers.h"

#include <algorithm>
#include <array>
#include <string>

#include "access/card_check.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "readerbus/answer_framer.h"
#include "readerbus/line_turn.h"
#include "readerbus/reader_health.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {

// The poll answer: status word at 3-4, card code registers at 7-12.
constexpr int kStatusHi = 3;
constexpr int kStatusLo = 4;
constexpr int kCodeAt = 7;
constexpr int kCodeBytes = 6;
constexpr int kStatusReference = 0x8000;

// The PC's frame still waits for the reader's turn, or the answer does not
// fit it: it is the reader's late answer to a frame before (a poll, a
// relay), not to the PC's, and the wait for the PC's answer goes on.
bool not_the_pcs(const ReaderEntry& r, std::span<const uint8_t> f) {
  if (r.action == kActionForward && r.tx_len > 0) return true;
  return r.pc_wait == kPcWaiting && !answers_request(r.tx_frame, f);
}

void to_pc(Context& ctx, int entry, std::span<const uint8_t> answer) {
  if (ctx.st.answer_pc)
    ctx.st.answer_pc(ctx, static_cast<uint8_t>(ctx.st.readers[entry].pc_tid), answer);
}

// A changed code at an armed reader is a presented card. Status bit 15 and the
// first code after a rebuild only set the reference.
void apply_card_rule(Context& ctx, int entry, std::span<const uint8_t> f) {
  // A shorter answer holds no code registers.
  if (f[kRtuByteCount] < kPollAnswerData) return;
  ReaderEntry& r = ctx.st.readers[entry];
  const int status = f[kStatusHi] * 256 + f[kStatusLo];
  const auto raw = f.subspan(kCodeAt, kCodeBytes);
  // A reader that restarts or clears its code reads all zeros: nobody stands
  // there, so the zeros only become the reference for the next card.
  const bool no_card = std::all_of(raw.begin(), raw.end(), [](uint8_t b) { return b == 0; });
  if ((status & kStatusReference) || no_card) {
    if (!hex_equals(raw, r.last_code)) r.last_code = hex_bytes(raw, "");
    r.armed = 1;
    return;
  }
  // Most answers repeat the code already held: compared, not formatted.
  if (hex_equals(raw, r.last_code)) return;
  std::string code = hex_bytes(raw, "");
  r.last_code = code;
  if (r.armed)
    check_card(ctx, entry, code);
  else
    r.armed = 1;
}

// Each handler returns whether the answer was good: a broken one ends no
// wait, its reader's time-out decides.
bool handle_f03(Context& ctx, std::span<const uint8_t> f) {
  BufferState& st = ctx.st;
  const int size = static_cast<int>(f.size());
  const bool rs = ctx.log.enabled(LogCategory::Rs485);
  if (!f03_crc_ok(f)) {
    st.figures.crc_error(f[kRtuAddress]);
    if (rs) ctx.log.log_line(texts::kF03CrcError);
    return false;
  }
  if (rs) ctx.log.log_append(texts::kReaderToBuf + hex_bytes(f, "*"));
  note_good_answer(ctx, f[kRtuAddress]);
  st.figures.answer_taken(f[kRtuAddress], false, ctx.clock.monotonic_ms());

  const int e = st.find_reader(f[kRtuAddress]);
  if (e == 0) return true;  // no configured reader has that address
  ReaderEntry& r = st.readers[e];
  if (r.pc_wait == 0 && r.action == kActionNone) apply_card_rule(ctx, e, f);
  if (not_the_pcs(r, f)) return false;
  if (r.pc_wait == kPcWaiting) {
    to_pc(ctx, e, f.first(static_cast<std::size_t>(size - 2)));
    r.pc_wait = 0;
  }
  if (r.action == kActionForward) r.action = kActionNone;
  return true;
}

bool handle_f16(Context& ctx, std::span<const uint8_t> f) {
  BufferState& st = ctx.st;
  const bool rs = ctx.log.enabled(LogCategory::Rs485);
  if (rs) ctx.log.log_line(texts::kF10FromReader);
  if (!f16_crc_ok(f)) {
    st.figures.crc_error(f[kRtuAddress]);
    if (rs) ctx.log.log_line(texts::kF10CrcError);
    return false;
  }
  if (rs) ctx.log.log_append(texts::kReaderToPc + hex_bytes(f.first(kF16AnswerSize), "-"));
  note_good_answer(ctx, f[kRtuAddress]);
  st.figures.answer_taken(f[kRtuAddress], false, ctx.clock.monotonic_ms());

  const int e = st.find_reader(f[kRtuAddress]);
  if (e == 0) return true;
  ReaderEntry& r = st.readers[e];
  if (not_the_pcs(r, f)) return false;
  if (r.pc_wait == kPcWaiting) to_pc(ctx, e, f.first(kF16AnswerSize - 2));
  if (r.action == kActionForward) r.action = kActionNone;
  // A relay ends only with the acknowledgement of a relay frame that went out:
  // a buzzer's acknowledgement, or a late one of an earlier relay, leaves a
  // relay queued since to go out at the reader's next turn. A buzzer's own
  // acknowledgement frees the reader for the PC at once, not only at its
  // next poll.
  if (acknowledges(r.sent, f)) {
    if (r.sent == kActionRelay && r.action == kActionRelay) r.action = kActionNone;
    r.sent = kActionNone;
  }
  if (r.pc_wait == kPcWaiting) r.pc_wait = 0;
  return true;
}

// A reader refusing the PC's frame has answered it: the PC gets the
// exception as it would a good answer, and the reader is the PC's no longer.
void handle_exception(Context& ctx, std::span<const uint8_t> f) {
  BufferState& st = ctx.st;
  if (ctx.log.enabled(LogCategory::Rs485))
    ctx.log.log_append(texts::kReaderToBuf + hex_bytes(f, "*"));
  note_good_answer(ctx, f[kRtuAddress]);
  st.figures.answer_taken(f[kRtuAddress], true, ctx.clock.monotonic_ms());
  const int e = st.find_reader(f[kRtuAddress]);
  if (e == 0) return;
  ReaderEntry& r = st.readers[e];
  if ((r.action == kActionForward && r.tx_len > 0) || r.pc_wait != kPcWaiting) return;
  to_pc(ctx, e, f.first(kExceptionAnswerSize - 2));
  r.pc_wait = 0;
  if (r.action == kActionForward) r.action = kActionNone;
}

}  // namespace

void on_serial_receive(Context& ctx, std::span<const uint8_t> chunk) {
  ctx.st.figures.bytes_in(chunk.size());
  if (!feed_answer_bytes(ctx.st, chunk)) return;
  line_heard(ctx);
  // At most one answer of each kind per chunk; a further one waits for the next.
  if (const auto a = next_answer(ctx.st, kFnReadHolding)) {
    if (handle_f03(ctx, a->view())) line_answered(ctx, a->bytes[kRtuAddress]);
  }
  if (const auto a = next_answer(ctx.st, kFnWriteMultiple)) {
    if (handle_f16(ctx, a->view())) line_answered(ctx, a->bytes[kRtuAddress]);
  }
  if (const auto a = next_answer(ctx.st, kExceptionBit)) {
    handle_exception(ctx, a->view());
    line_answered(ctx, a->bytes[kRtuAddress]);
  }
}

void reset_rx(Context& ctx) {
  ctx.st.rx_len = 0;
}

}  // namespace netbuf
