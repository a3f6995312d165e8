#include "pclink/modbus_tcp.h"

#include <algorithm>

#include "access/event_records.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "core/reader_rebuild.h"
#include "modbus/byte_span.h"
#include "modbus/mbap.h"
#include "pclink/file_records.h"
#include "pclink/pc_endpoint.h"
#include "pclink/reader_answer_to_pc.h"
#include "pclink/request_stream.h"
#include "readerbus/pass_through.h"

namespace netbuf {

namespace {

using namespace mbap;

constexpr int kF3FrameLen = 12;
constexpr int kF16HeaderLen = 13;
// A function 3 answer's 8-bit byte count holds at most 125 registers cleanly.
constexpr int kMaxReadQuantity = 125;

int word_at(const PcRequestState& req, int p) {
  return ByteReader(req.rx).be16(p);
}

ByteWriter answer_out(BufferState& st) {
  return ByteWriter(st.pc_tx, st.pc_tx_len);
}

// An answer's header: the request's transaction identifier and unit.
bool put_header(ByteWriter& out, const PcRequestState& req, int p, int length) {
  return put_prefix(out, req.rx[p + kTidHi], req.rx[p + kTidLo], length) &&
         out.put({req.rx[p + kUnit]});
}

// Function 3. Returns false when the rest of the read cannot be processed.
bool read_registers(Context& ctx) {
  BufferState& st = ctx.st;
  PcRequestState& req = st.pc_request;
  const int p = req.pos;
  if (p + kF3FrameLen > req.rx_len) return false;  // truncated frame: drop the rest
  const int start = word_at(req, p + kStartHi);
  const int q = word_at(req, p + kQtyHi);
  req.pos += kF3FrameLen;
  // A range outside the register image, or larger than an answer can say,
  // gets no answer; later frames of the read are still served.
  if (q > kMaxReadQuantity || start + q > kRegisterCount) return true;
  ByteWriter out = answer_out(st);
  if (!out.fits(static_cast<std::size_t>(9 + 2 * q))) return false;
  // The length is the answer's own: a request's odd length high byte must not
  // make the PC misread where the next answer starts.
  put_header(out, req, p, 3 + 2 * q);
  out.put({3, static_cast<uint8_t>(2 * q)});
  for (int i = 0; i < q; ++i) out.put_be16(st.registers[start + i].val);
  return true;
}

// Function 16. Returns false when the rest of the read cannot be processed.
bool write_registers(Context& ctx) {
  BufferState& st = ctx.st;
  PcRequestState& req = st.pc_request;
  const int p = req.pos;
  if (p + kF16HeaderLen > req.rx_len) return false;
  const int start = word_at(req, p + kStartHi);
  const int q = word_at(req, p + kQtyHi);
  if (p + kF16HeaderLen + 2 * q > req.rx_len) return false;  // data runs past the read
  req.pos += kF16HeaderLen + 2 * q;
  if (start + q > kRegisterCount) return true;  // refused whole: nothing written, no answer
  // The PC sets the read pointer itself: its word stands over an event
  // answer earlier in the same read.
  if (start <= kRegReadPtrLo && start + q > kRegReadPtrHi) st.pc_pointer_on_send = -1;
  ByteWriter out = answer_out(st);
  // The answer repeats the request's start and quantity.
  if (!out.fits(12)) return false;
  put_header(out, req, p, 6);
  out.put(std::span(req.rx).subspan(static_cast<std::size_t>(p + kFunction), 5));
  bool changed = false;
  bool counter = false;
  for (int i = 0; i < q; ++i) {
    const int32_t value = word_at(req, p + kF16HeaderLen + 2 * i);
    Register& r = st.registers[start + i];
    if (value == r.val) continue;
    r.val = value;
    r.dirty = 1;
    changed = true;
    counter = counter || start + i == kRegEventCntHi || start + i == kRegEventCntLo;
  }
  if (counter) renumber_waiting_events(st);
  // Once for the whole frame: a write that swaps two readers' slots must not
  // pass through a list without one of them, or that reader loses its state.
  if (changed) rebuild_readers(ctx);
  return true;
}

// As much of the request as the answer buffer still takes.
void echo(BufferState& st, int from, int to) {
  ByteWriter out = answer_out(st);
  const auto k = std::min(static_cast<std::size_t>(std::max(to - from, 0)), out.room());
  out.put(std::span(st.pc_request.rx).subspan(static_cast<std::size_t>(from), k));
}

void log_answer(Context& ctx, int function) {
  const BufferState& st = ctx.st;
  // The hex text is built only for a log that shows it: every request passes here.
  if (!ctx.log.enabled(LogCategory::Tcp)) return;
  ctx.log.log_line(std::string(texts::kBufToPc) + hex2(function) + ":" + dec(st.pc_tx_len) + "->" +
                   hex_bytes(first_n(st.pc_tx, st.pc_tx_len), " "));
}

// Each request of the read for a reader is queued for it, as long as they
// are whole by their MBAP lengths; the reader gets the frame from the unit
// identifier on. A request for the buffer ends the run, as an unknown
// function ends a read of the buffer's.
void pass_reader_requests(BufferState& st, Context& ctx, int n) {
  const PcRequestState& req = st.pc_request;
  int p = 0;
  while (p + kFunction < n && req.rx[p + kUnit] != kBufferUnit) {
    const int declared = kUnit + word_at(req, p + kLenHi);
    // A length that does not fit the read: the rest goes as one frame.
    const int end = declared > kFunction && p + declared <= n ? p + declared : n;
    st.figures.pc_request(req.rx[p + kFunction], true);
    pass_through(ctx,
                 std::span(req.rx).subspan(static_cast<std::size_t>(p + kUnit),
                                           static_cast<std::size_t>(end - p - kUnit)),
                 req.rx[p + kTidLo], reader_answer_to_pc);
    p = end;
  }
}

}  // namespace

void on_pc_data(Context& ctx) {
  BufferState& st = ctx.st;
  PcRequestState& req = st.pc_request;
  if (ctx.pc.connection_count() < 1) return;
  const int waiting = ctx.pc.bytes_waiting(0);
  if (waiting <= 0) return;

  // A request started in an earlier read goes in front of this one.
  const int held = resume_held_request(req, ctx.clock.monotonic_ms());
  const auto room = std::span(req.rx).subspan(static_cast<std::size_t>(held));
  // A read larger than the receive buffer keeps what fits; the excess is
  // drained and dropped so it cannot be mistaken for a new request.
  const int n =
      std::clamp(ctx.pc.receive(0, first_n(room, waiting)), 0, static_cast<int>(room.size()));
  const bool overflow = ctx.pc.bytes_waiting(0) > 0 && waiting > static_cast<int>(room.size());
  if (overflow) {
    std::array<uint8_t, 4096> scratch;
    int left = waiting - n;
    while (left > 0) {
      const int got = ctx.pc.receive(0, first_n(scratch, left));
      if (got <= 0) break;
      left -= got;
    }
  }
  if (n <= 0) return;

  if (ctx.log.enabled(LogCategory::Tcp))
    ctx.log.log_line(std::string(texts::kPcToBuf) + dec(n) + " ->" +
                     hex_bytes(room.first(static_cast<std::size_t>(n)), " "));

  // What was cut off by the drain has lost its rest: served as it stands.
  if (overflow)
    req.rx_len = held + n;
  else
    split_off_partial_request(req, held, n, ctx.clock.monotonic_ms());
  if (req.rx_len == 0) return;  // nothing whole yet
  const bool for_reader = req.rx_len > kFunction && req.rx[kUnit] != kBufferUnit;
  const bool answered = answer_pc_read(ctx);
  if (for_reader || (answered && st.pc_tx_len > 0)) note_pc_served(ctx);
  if (!answered) return;
  log_answer(ctx, req.rx[kFunction]);
  // The read pointer moves only once the socket has taken the answer (an
  // answer dropped for a PC that stopped reading was not read), and goes to
  // net.db with the first commit after that: a crash after it must not hand
  // the PC the same events again, and one before it must not skip them.
  if (ctx.pc.send(0, first_n(st.pc_tx, st.pc_tx_len))) hand_over_read_pointer(ctx);
}

bool answer_pc_read(Context& ctx) {
  BufferState& st = ctx.st;
  PcRequestState& req = st.pc_request;
  const int n = std::clamp(req.rx_len, 0, kPcBufferSize);
  st.pc_tx_len = 0;
  st.pc_pointer_on_send = -1;
  req.pos = 0;  // the read's first frame
  // Without unit and function code there is nothing to serve.
  if (n <= kFunction) return false;

  if (req.rx[kUnit] != kBufferUnit) {
    pass_reader_requests(st, ctx, n);
    return false;
  }

  // Each frame of the read is served by its own function code; an unknown
  // one ends the read, since its length cannot be told. A tail too short to
  // hold a function code goes to the read's first function, which refuses it
  // as truncated.
  const int function = req.rx[kFunction];
  while (req.pos < n) {
    const int p = req.pos;
    // A frame for a reader behind the buffer's own frames is not the
    // buffer's to answer (its registers under the reader's unit would
    // mislead the PC); it ends the read like an unknown function.
    if (p + kUnit < n && req.rx[p + kUnit] != kBufferUnit) break;
    bool go_on = false;
    const int frame_function = p + kFunction < n ? req.rx[p + kFunction] : function;
    st.figures.pc_request(frame_function, false);
    switch (frame_function) {
      case 3:
        go_on = read_registers(ctx);
        break;
      case 16:
        go_on = write_registers(ctx);
        break;
      case 20:
        read_file_record(ctx);
        go_on = true;
        break;
      case 21:
        go_on = write_file_record(ctx);
        // The PC gets its request back as the answer; what could not be
        // parsed is echoed too, as the rest of the read.
        echo(st, p, go_on ? req.pos : n);
        break;
      default:
        break;
    }
    if (!go_on) break;
  }

  return true;
}

}  // namespace netbuf
