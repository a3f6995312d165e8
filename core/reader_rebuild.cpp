#include "core/reader_rebuild.h"

#include <algorithm>
#include <array>

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

  // A PC write rebuilds the whole list, but readers it did not touch must not
  // notice: a reader keeps its runtime state (reference code, pending relay or
  // buzzer, pass-through) under its address, wherever it now stands. Only the
  // entry that answers for the address (the highest) takes it over; entries
  // new to the list, and the rest, start fresh.
  const std::array<Tczytnik, kReaderCount + 1> before = st.readers;
  const int before_count = std::clamp<int>(st.reader_count, 0, kReaderCount);
  const auto previous = [&](int32_t address) -> const Tczytnik* {
    for (int e = before_count; e >= 1; --e)
      if (before[e].adr485 == address) return &before[e];
    return nullptr;
  };

  st.reader_count = 0;
  for (int slot = 0; slot < kReaderCount; ++slot) {
    const int r = kRegReaderSlots + 4 * slot;
    const int32_t w0 = st.reg(r);
    if (w0 == 0) continue;
    Tczytnik& e = st.readers[++st.reader_count];
    e = Tczytnik{};
    e.adr485 = div256(w0);
    e.geo_zone = mod256(w0);
    e.flags = div256(st.reg(r + 1));
  }
  for (int e = st.reader_count + 1; e <= kReaderCount; ++e) st.readers[e] = Tczytnik{};

  for (int e = st.reader_count; e >= 1; --e) {
    Tczytnik& r = st.readers[e];
    if (st.find_reader(r.adr485) != e) continue;
    const Tczytnik* old = previous(r.adr485);
    if (old == nullptr) continue;
    r.last_code = old->last_code;
    r.armed = old->armed;
    r.action = old->action;
    r.sent = old->sent;
    r.pc_wait = old->pc_wait;
    r.tx_frame = old->tx_frame;
    r.tx_len = old->tx_len;
    r.pc_tid = old->pc_tid;
    r.hold_off = old->hold_off;
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
