#include "readerbus/pass_through.h"

#include <algorithm>

#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {
constexpr uint8_t kPcWaiting = 0xFF;
// Write-back ticks (3 s each) during which the reader is left to the PC.
constexpr int kHoldOffTicks = 3;
}  // namespace

void pass_through(Context& ctx, std::span<const uint8_t> frame, uint8_t tid_low,
                  PcAnswerRoute route) {
  BufferState& st = ctx.st;
  if (frame.size() <= kRtuFunction) return;

  // Only a configured reader is lent to the PC, and only for a frame it can
  // be sent: anything else (function 6 from a PC tool, a frame too short or
  // too long) goes nowhere and holds nobody; the PC sees its own time-out.
  const int e = st.find_reader(frame[kRtuAddress]);
  if (e == 0) return;
  Tczytnik& r = st.readers[e];
  // A relay or buzzer for a presented card goes first; the PC asks again.
  if (door_command_pending(r)) return;
  const int n = forwarded_frame(frame, r.tx_frame);
  if (n == 0) return;
  st.answer_pc = route;
  r.tx_len = n;
  r.hold_off = kHoldOffTicks;
  r.pc_tid = tid_low;
  r.action = kActionForward;
  r.pc_wait = kPcWaiting;
}

void pass_through_tick(BufferState& st) {
  for (Tczytnik& r : st.readers) {
    if (r.hold_off <= 0) continue;
    if (--r.hold_off > 0) continue;
    // The hold-off is over and the answer never came (silent reader, broken
    // CRC): the PC has long given up, so the reader goes back to its polls.
    if (r.action == kActionForward) r.action = kActionNone;
    r.pc_wait = 0;
    r.tx_len = 0;
  }
}

}  // namespace netbuf
