#include "core/reader_rebuild.h"

#include "core/hex_text.h"

namespace netbuf {

namespace {
// Truncating division and remainder of the signed register value, as the
// registers are read as signed integers.
int32_t div256(int32_t v) {
  return v / 256;
}
int32_t mod256(int32_t v) {
  return v % 256;
}
}  // namespace

void rebuild_readers(Context& ctx) {
  BufferState& st = ctx.st;
  FormControls& form = ctx.form;

  form.set_label(5, hex_min(static_cast<uint32_t>(st.reg(kRegMac)), 4) + "-" +
                        hex_min(static_cast<uint32_t>(st.reg(kRegMac + 1)), 4) + "-" +
                        hex_min(static_cast<uint32_t>(st.reg(kRegMac + 2)), 4));
  form.set_label(6, dec(st.reg(kRegCardCount)));
  st.card_count = st.reg(kRegCardCount);
  form.set_label(13, dec(st.event_counter()));
  form.set_label(14, dec(st.event_read_pointer()));

  st.reader_count = 0;
  for (int slot = 0; slot < kReaderCount; ++slot) {
    const int r = kRegReaderSlots + 4 * slot;
    const int32_t w0 = st.reg(r);
    if (w0 == 0) continue;
    Tczytnik& e = st.readers[++st.reader_count];
    e.adr485 = div256(w0);
    e.geo_zone = mod256(w0);
    e.flags = div256(st.reg(r + 1));
    e.flags_low = mod256(st.reg(r + 1));
    e.cfg_word3 = st.reg(r + 2);
    e.cfg_word4 = st.reg(r + 3);
    e.armed = 0;
    e.action = kActionNone;
    e.aux_text.clear();
    e.hold_off = 0;
    e.pc_wait = 0;
  }

  form.set_label(4, dec(st.reader_count));
  form.set_label(8, "COM " + dec(ctx.serial.port_number()));

  // The rebuild only ever ticks boxes; unticking is the operator's business.
  for (int b = 15; b >= 0; --b) {
    if (st.n_card & (1 << b)) form.set_check(16 - b, true);
    if (st.s_card & (1 << b)) form.set_check(32 - b, true);
  }
}

}  // namespace netbuf
