#include "pclink/reader_answer_to_pc.h"

#include "core/hex_text.h"
#include "core/log_texts.h"
#include "modbus/byte_span.h"
#include "modbus/mbap.h"

namespace netbuf {

void reader_answer_to_pc(Context& ctx, uint8_t tid, std::span<const uint8_t> answer) {
  // The PC left after its request: the answer has nowhere to go.
  if (ctx.pc.connection_count() < 1) return;
  if (answer.size() > 255) return;
  BufferState& st = ctx.st;

  // The PC link builds its own answers here too, so start from empty.
  st.pc_tx_len = 0;
  ByteWriter out(st.pc_tx, st.pc_tx_len);
  // Only the low byte of the transaction identifier was kept.
  mbap::put_prefix(out, 0, tid, static_cast<int>(answer.size()));
  out.put(answer);

  if (ctx.log.enabled(LogCategory::Tcp))
    ctx.log.log_line(texts::kBufToPc + hex2(st.pc_request.rx[mbap::kFunction]) + ":" +
                     dec(st.pc_tx_len) + "->" + hex_bytes(first_n(st.pc_tx, st.pc_tx_len), " "));
  ctx.pc.send(0, first_n(st.pc_tx, st.pc_tx_len));
}

}  // namespace netbuf
