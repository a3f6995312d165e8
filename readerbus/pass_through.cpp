#include "readerbus/pass_through.h"

#include <algorithm>

#include "pclink/mbap.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {
using mbap::kFunction;
using mbap::kUnit;
constexpr uint8_t kPcWaiting = 0xFF;
// Write-back ticks (3 s each) during which the reader is left to the PC.
constexpr int kHoldOffTicks = 3;
}  // namespace

void pass_through(Context& ctx, uint8_t tid_low) {
  BufferState& st = ctx.st;
  const int len = std::clamp(st.pc_rx_len, 0, kPcBufferSize);
  if (len <= kFunction) return;

  const int e = st.find_reader(st.pc_rx[kUnit]);
  Tczytnik& r = st.readers[e];
  const uint8_t fn = st.pc_rx[kFunction];
  if (fn == kFnReadHolding || fn == kFnWriteMultiple) {
    const int n = forwarded_frame(st.pc_rx.data(), len, r.tx_frame);
    // Too short, or more data than the frame area holds: leave the reader as it was.
    if (n == 0) return;
    r.tx_len = n;
  }
  // Other functions get no frame but hold the reader like an unanswered
  // request, so the PC sees its own time-out.
  r.hold_off = kHoldOffTicks;
  r.pc_tid = tid_low;
  r.action = kActionForward;
  r.pc_wait = kPcWaiting;
}

}  // namespace netbuf
