#include "readerbus/reader_answers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "access/card_check.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "modbus/byte_span.h"
#include "modbus/mbap.h"
#include "readerbus/reader_health.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {

using Frame = std::array<uint8_t, kRxAccLimit>;

constexpr uint8_t kPcWaiting = 0xFF;
// The poll answer: status word at 3-4, card code registers at 7-12.
constexpr int kPollAnswerData = 10;
constexpr int kStatusHi = 3;
constexpr int kStatusLo = 4;
constexpr int kCodeAt = 7;
constexpr int kCodeBytes = 6;
constexpr int kStatusReference = 0x8000;

void drop_front(BufferState& st, int k) {
  std::memmove(st.rx_acc.data(), st.rx_acc.data() + k, static_cast<size_t>(st.rx_len - k));
  st.rx_len -= k;
}

// The bytes the accumulator holds.
std::span<const uint8_t> held(const BufferState& st) {
  return std::span(st.rx_acc).first(static_cast<std::size_t>(std::clamp(st.rx_len, 0, kRxAccSize)));
}

// Takes the frame off the accumulator before anything acts on it, so what
// follows (the access decision above all) never works on bytes that a later
// chunk could move.
Frame take_front(BufferState& st, int k) {
  Frame f{};
  std::copy_n(st.rx_acc.begin(), k, f.begin());
  drop_front(st, k);
  return f;
}

// A function-3 answer longer than a poll answer only comes for a read the PC
// passed through (up to 125 registers). Anywhere else such a header is noise,
// and waiting for its bytes would swallow the answers behind it.
bool plausible_start(const BufferState& st) {
  const uint8_t fn = st.rx_acc[kRtuFunction];
  if (fn == kFnWriteMultiple) return true;
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
  while (st.rx_len > 1 && !plausible_start(st)) drop_front(st, 1);
}

// The PC's frame still waits for the reader's turn: an answer now is the
// reader's answer to the frame before it (a poll, a relay), not to the PC's,
// and the PC's frame must still go out.
bool parked(const Tczytnik& r) {
  return r.action == kActionForward && r.tx_len > 0;
}

// A changed code at an armed reader is a presented card. Status bit 15 and the
// first code after a rebuild only set the reference.
void apply_card_rule(Context& ctx, int entry, const Frame& f) {
  // A shorter answer holds no code registers.
  if (f[kRtuByteCount] < kPollAnswerData) return;
  Tczytnik& r = ctx.st.readers[entry];
  const int status = f[kStatusHi] * 256 + f[kStatusLo];
  std::string code = hex_bytes(f.data() + kCodeAt, kCodeBytes, "");
  if (status & kStatusReference) {
    r.last_code = std::move(code);
    r.armed = 1;
    return;
  }
  if (code == r.last_code) return;
  r.last_code = code;
  if (r.armed)
    check_card(ctx, entry, code);
  else
    r.armed = 1;
}

void take_f03(Context& ctx) {
  BufferState& st = ctx.st;
  if (!f03_complete(held(st))) return;
  const int size = st.rx_acc[kRtuByteCount] + kF03Overhead;
  const Frame f = take_front(st, size);
  const bool rs = ctx.log.enabled(LogCategory::Rs485);
  if (!f03_crc_ok(f)) {
    if (rs) ctx.log.log_line(texts::kF03CrcError);
    return;
  }
  if (rs) ctx.log.log_append(texts::kReaderToBuf + hex_bytes(f.data(), size, "*"));
  note_good_answer(ctx, f[kRtuAddress]);

  const int e = st.find_reader(f[kRtuAddress]);
  if (e == 0) return;  // no configured reader has that address
  Tczytnik& r = st.readers[e];
  if (r.pc_wait == 0 && r.action == kActionNone) apply_card_rule(ctx, e, f);
  if (parked(r)) return;
  if (r.pc_wait == kPcWaiting) {
    answer_to_pc(ctx, e, f.data(), size - 2);
    r.pc_wait = 0;
  }
  if (r.action == kActionForward) r.action = kActionNone;
}

void take_f16(Context& ctx) {
  BufferState& st = ctx.st;
  if (!f16_complete(held(st))) return;
  const Frame f = take_front(st, kF16AnswerSize);
  const bool rs = ctx.log.enabled(LogCategory::Rs485);
  if (rs) ctx.log.log_line(texts::kF10FromReader);
  if (!f16_crc_ok(f)) {
    if (rs) ctx.log.log_line(texts::kF10CrcError);
    return;
  }
  if (rs) ctx.log.log_append(texts::kReaderToPc + hex_bytes(f.data(), kF16AnswerSize, "-"));
  note_good_answer(ctx, f[kRtuAddress]);

  const int e = st.find_reader(f[kRtuAddress]);
  if (e == 0) return;
  Tczytnik& r = st.readers[e];
  if (parked(r)) return;
  if (r.pc_wait == kPcWaiting) answer_to_pc(ctx, e, f.data(), kF16AnswerSize - 2);
  if (r.action == kActionForward) r.action = kActionNone;
  // A relay ends only with the acknowledgement of a relay frame that went out:
  // a buzzer's acknowledgement, or a late one of an earlier relay, leaves a
  // relay queued since to go out at the reader's next turn.
  if (r.sent == kActionRelay && acknowledges_relay(f)) {
    r.sent = kActionNone;
    if (r.action == kActionRelay) r.action = kActionNone;
  }
  if (r.pc_wait == kPcWaiting) r.pc_wait = 0;
}

}  // namespace

void on_serial_receive(Context& ctx, const uint8_t* bytes, int count) {
  BufferState& st = ctx.st;
  count = std::max(count, 0);
  // No answer we take is longer than the limit: on overflow start clean.
  if (st.rx_len < 0 || st.rx_len + count > kRxAccLimit) {
    st.rx_len = 0;
    return;
  }
  std::copy_n(bytes, count, st.rx_acc.begin() + st.rx_len);
  st.rx_len += count;

  // At most one answer of each kind per chunk; a further one waits for the next.
  resync(st);
  take_f03(ctx);
  resync(st);
  take_f16(ctx);
}

void reset_rx(Context& ctx) {
  ctx.st.rx_len = 0;
}

void answer_to_pc(Context& ctx, int entry, const uint8_t* frame, int len) {
  // The PC left after its request: the answer has nowhere to go.
  if (ctx.pc.connection_count() < 1) return;
  if (entry < 1 || entry > kReaderCount || len < 0 || len > 255) return;
  BufferState& st = ctx.st;

  // The PC link builds its own answers here too, so start from empty. The
  // reader's address stands in the unit identifier's place.
  st.pc_tx_len = 0;
  ByteWriter out(st.pc_tx, st.pc_tx_len);
  // Only the low byte of the transaction identifier was kept.
  mbap::put_prefix(out, 0, static_cast<uint8_t>(st.readers[entry].pc_tid), len);
  out.put(std::span(frame, static_cast<std::size_t>(len)));

  if (ctx.log.enabled(LogCategory::Tcp))
    ctx.log.log_line(texts::kBufToPc + hex2(st.pc_rx[mbap::kFunction]) + ":" + dec(st.pc_tx_len) +
                     "->" + hex_bytes(st.pc_tx.data(), st.pc_tx_len, " "));
  ctx.pc.send(0, st.pc_tx.data(), st.pc_tx_len);
}

}  // namespace netbuf
