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

  ctx.status.show_device(hex_min(static_cast<uint32_t>(st.reg(kRegMac)), 4) + "-" +
                             hex_min(static_cast<uint32_t>(st.reg(kRegMac + 1)), 4) + "-" +
                             hex_min(static_cast<uint32_t>(st.reg(kRegMac + 2)), 4),
                         st.reg(kRegCardCount));
  st.card_count = st.reg(kRegCardCount);
  ctx.status.show_event_counters(st.event_counter(), st.event_read_pointer());

  // A PC write rebuilds the whole list, but readers it did not touch must not
  // notice: a reader keeps its runtime state (reference code, pending relay or
  // buzzer, pass-through) under its address, wherever it now stands. Only the
  // entry that answers for the address (the highest) takes it over; entries
  // new to the list, and the rest, start fresh.
  const std::array<ReaderEntry, kReaderCount + 1> before = st.readers;
  const int before_count = std::clamp<int>(st.reader_count, 0, kReaderCount);
  const auto previous = [&](int32_t address) -> const ReaderEntry* {
    for (int e = before_count; e >= 1; --e)
      if (before[e].adr485 == address) return &before[e];
    return nullptr;
  };

  st.reader_count = 0;
  for (int slot = 0; slot < kReaderCount; ++slot) {
    const int r = kRegReaderSlots + 4 * slot;
    const int32_t w0 = st.reg(r);
    if (w0 == 0) continue;
    ReaderEntry& e = st.readers[++st.reader_count];
    e = ReaderEntry{};
    e.adr485 = div256(w0);
    e.geo_zone = mod256(w0);
    e.flags = div256(st.reg(r + 1));
  }
  for (int e = st.reader_count + 1; e <= kReaderCount; ++e) st.readers[e] = ReaderEntry{};

  for (int e = st.reader_count; e >= 1; --e) {
    ReaderEntry& r = st.readers[e];
    if (st.find_reader(r.adr485) != e) continue;
    const ReaderEntry* old = previous(r.adr485);
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
    r.command_due = old->command_due;
  }

  ctx.status.show_readers(st.reader_count, ctx.serial.port_number());
  ctx.settings.tick_buzzer_patterns({st.n_card, st.s_card});
}

}  // namespace netbuf
