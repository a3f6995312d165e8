#include "readerbus/pass_through.h"

#include <algorithm>
#include <array>

#include "readerbus/line_turn.h"
#include "readerbus/rtu_frames.h"

namespace netbuf {

namespace {
// Write-back ticks (3 s each) during which the reader is left to the PC.
constexpr int kHoldOffTicks = 3;
// Modbus gateway exceptions.
constexpr uint8_t kPathUnavailable = 0x0A;
constexpr uint8_t kTargetFailed = 0x0B;

bool pc_frame_on_line(const BufferState& st) {
  return std::any_of(st.readers.begin(), st.readers.end(),
                     [](const ReaderEntry& r) { return r.pc_wait == kPcWaiting; });
}

void answer_exception(Context& ctx, uint8_t tid, uint8_t address, uint8_t function, uint8_t code) {
  const std::array<uint8_t, 3> answer{address, static_cast<uint8_t>(function | kExceptionBit),
                                      code};
  if (ctx.st.answer_pc) ctx.st.answer_pc(ctx, tid, answer);
}

void pop(PassQueue& q) {
  q.head = (q.head + 1) % kPassQueueSize;
  --q.size;
}

// Requests at the front for addresses no reader slot has are answered at
// once, unless a frame ahead of them still waits for its answer.
void answer_unroutable(Context& ctx) {
  PassQueue& q = ctx.st.pc_request.passes;
  if (pc_frame_on_line(ctx.st)) return;
  while (q.size > 0 && q.at(0).len == 0) {
    const PassRequest& p = q.at(0);
    answer_exception(ctx, p.tid, p.frame[kRtuAddress], p.frame[kRtuFunction], kPathUnavailable);
    pop(q);
  }
}

}  // namespace

void pass_through(Context& ctx, std::span<const uint8_t> frame, uint8_t tid_low,
                  PcAnswerRoute route) {
  BufferState& st = ctx.st;
  PassQueue& q = st.pc_request.passes;
  if (frame.size() <= kRtuFunction) return;
  PassRequest p;
  p.tid = tid_low;
  // Only a frame a reader can be sent is passed on; anything else (function
  // 6 from a PC tool, a frame too short or too long) goes nowhere and holds
  // nobody. An address no reader slot has is answered as a gateway does.
  if (st.find_reader(frame[kRtuAddress]) != 0) {
    p.len = forwarded_frame(frame, p.frame);
    if (p.len == 0) return;
  } else {
    p.frame[kRtuAddress] = frame[kRtuAddress];
    p.frame[kRtuFunction] = frame[kRtuFunction];
  }
  if (q.size >= kPassQueueSize) return;
  int for_reader = 0;
  for (int i = 0; i < q.size; ++i) for_reader += q.at(i).frame[kRtuAddress] == p.frame[kRtuAddress];
  if (for_reader >= kPassPerReader) return;
  st.answer_pc = route;
  q.at(q.size) = p;
  ++q.size;
  answer_unroutable(ctx);
}

int take_pass_request(Context& ctx) {
  BufferState& st = ctx.st;
  PassQueue& q = st.pc_request.passes;
  answer_unroutable(ctx);
  while (q.size > 0 && !pc_frame_on_line(st)) {
    const PassRequest p = q.at(0);
    pop(q);
    // The readers may have been rebuilt since the request came.
    const int e = p.len > 0 ? st.find_reader(p.frame[kRtuAddress]) : 0;
    if (e == 0) {
      answer_exception(ctx, p.tid, p.frame[kRtuAddress], p.frame[kRtuFunction], kPathUnavailable);
      continue;
    }
    ReaderEntry& r = st.readers[e];
    r.tx_frame = p.frame;
    r.tx_len = p.len;
    r.hold_off = kHoldOffTicks;
    r.pc_tid = p.tid;
    r.pc_wait = kPcWaiting;
    // A relay still owed to this reader keeps its action; the PC's frame
    // only borrows the line.
    if (r.action == kActionNone) r.action = kActionForward;
    return e;
  }
  return 0;
}

void pass_through_no_answer(Context& ctx, uint8_t address) {
  BufferState& st = ctx.st;
  const int e = st.find_reader(address);
  if (e == 0) return;
  ReaderEntry& r = st.readers[e];
  // Also when the PC has left meanwhile: the reader goes back to its polls.
  if (r.action == kActionForward) r.action = kActionNone;
  if (r.pc_wait != kPcWaiting) return;
  r.pc_wait = 0;
  answer_exception(ctx, static_cast<uint8_t>(r.pc_tid), address, r.tx_frame[kRtuFunction],
                   kTargetFailed);
  answer_unroutable(ctx);
}

void pass_through_tick(BufferState& st) {
  for (ReaderEntry& r : st.readers) {
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
