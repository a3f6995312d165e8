// The reader line: the input is a sequence of receive chunks, each followed
// by a few poll ticks, over four configured readers whose pending work
// (pass-through request, relay, buzzer, hold-off) the input chooses first.
//
// Input: byte 0 bit 0 = the PC is connected; bytes 1-4 set up readers 1-4
// (bits 0-2 action, bit 3 a pass-through request waits, bit 4 it is a write,
// bit 5 armed, bits 6-7 hold-off ticks); then records of one control byte
// (bits 0-4 chunk length, bits 5-7 poll ticks after it) and the chunk.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pclink/modbus_tcp.h"
#include "pclink/reader_answer_to_pc.h"
#include "readerbus/pass_through.h"
#include "readerbus/poll_cycle.h"
#include "readerbus/reader_answers.h"
#include "readerbus/rtu_frames.h"
#include "store/sql_texts.h"

namespace netbuf::fuzz {
namespace {

constexpr int kReaders = 4;
constexpr uint8_t kAddress[kReaders + 1] = {0, 5, 2, 7, 3};

struct Target {
  ScratchDir dir;
  FuzzWorld fw;
  int32_t events_at_start = 0;

  Target() {
    testing::FakeWorld& w = fw.w();
    open_new_db(w, dir.path("net.db"), [](Database& db) {
      NETBUF_FUZZ_CHECK(db.run("INSERT INTO register VALUES (804, 0, ''), (805, 0, '')"));
    });
    // Every decision writes a row; the disk need not see each one.
    skip_disk_waits(w.db);
    w.serial.opened = true;

    BufferState& st = fw.st();
    // Zone 0: readers 5 and 7, both with relay bits. Zone 1: reader 2 without
    // relay, reader 3 with: a granted card at 2 opens 3.
    const int32_t slots[kReaders][2] = {
        {0x0500, 0x0C00}, {0x0201, 0}, {0x0700, 0x0C00}, {0x0301, 0x0C00}};
    for (int s = 0; s < kReaders; ++s) {
      st.registers[kRegReaderSlots + 4 * s] = Register{slots[s][0], 0};
      st.registers[kRegReaderSlots + 4 * s + 1] = Register{slots[s][1], 0};
    }
    st.registers[kRegCardCount] = Register{100, 0};
    // Card 5 passes everywhere at any time; card 6 only in zone 1, never in time.
    st.set_card_kod(5, "0102030405");
    st.cards[5].geo_zone = -1;
    st.cards[5].time_zone = -1;
    st.set_card_kod(6, "AABBCCDDEE");
    st.cards[6].geo_zone = 0x2;
    st.cards[6].time_zone = 0;
    st.zone_mask = 1;
    st.n_card = 0x8001;
    st.s_card = 0x00FF;
    fw.snapshot();
    events_at_start = st.event_counter();
  }

  // Parks a PC request for the reader, as on_pc_data does for another unit.
  void park_request(int e, bool write) {
    BufferState& st = fw.st();
    const uint8_t a = kAddress[e];
    const std::vector<uint8_t> req =
        write ? std::vector<uint8_t>{0, 0x12, 0, 0, 0, 9, a, 16, 0, 1, 0, 1, 2, 0xAB, 0xCD}
              : std::vector<uint8_t>{0, 0x11, 0, 0, 0, 6, a, 3, 0, 10, 0, 5};
    std::copy(req.begin(), req.end(), st.pc_request.rx.begin());
    st.pc_request.rx_len = static_cast<int32_t>(req.size());
    pass_through(fw.ctx(), std::span(req).subspan(6), static_cast<uint8_t>(16 * e),
                 reader_answer_to_pc);
  }

  // Each decision is one row together with its counter, nothing more.
  void check_events() {
    testing::FakeWorld& w = fw.w();
    const int32_t now = w.st.event_counter();
    if (now == events_at_start) return;
    int64_t n = -1;
    const Column count[] = {{"n", As::Integer}};
    NETBUF_FUZZ_CHECK(
        w.db.query(schema::kCountEvents, count, [&n](const Row& r) { n = r.integer(0); }));
    NETBUF_FUZZ_CHECK(n == int64_t{now} - events_at_start);
    NETBUF_FUZZ_CHECK(w.db.run("DELETE FROM event"));
    NETBUF_FUZZ_CHECK(w.db.run_prepared(sql::kUpdateRegister, sql::update_register_values(0, kRegEventCntHi)));
    NETBUF_FUZZ_CHECK(w.db.run_prepared(sql::kUpdateRegister, sql::update_register_values(0, kRegEventCntLo)));
  }
};

// Every frame written to the line is whole and closed by its CRC.
void check_line(const testing::FakeSerial& serial) {
  for (const auto& f : serial.sent) {
    const int n = static_cast<int>(f.size());
    NETBUF_FUZZ_CHECK(n >= 4 && n <= kTxFrameSize);
    NETBUF_FUZZ_CHECK(crc_ok(f));
  }
}

}  // namespace
}  // namespace netbuf::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf;
  auto [t, w] = fuzz::target_for_input<fuzz::Target>();
  BufferState& st = w.st;
  fuzz::Cursor in(data, size);

  w.pc.conns.resize(in.u8() & 1);
  for (int e = 1; e <= fuzz::kReaders; ++e) {
    const uint8_t b = in.u8();
    if (b & 0x08)
      t.park_request(e, (b & 0x10) != 0);
    else
      st.readers[e].action = b & 0x07;
    st.readers[e].armed = (b >> 5) & 1;
    st.readers[e].hold_off = b >> 6;
  }

  while (!in.empty()) {
    const uint8_t c = in.u8();
    const std::vector<uint8_t> chunk = in.bytes(c & 0x1F);
    on_serial_receive(w.ctx, chunk);
    t.fw.check_bounds();
    for (int k = 0; k < (c >> 5); ++k) {
      // A tick apart: answers owed may have run out their time.
      w.clock.mono += w.window.poll_ms;
      on_poll_tick(w.ctx);
      // 0 until the first turn: a command may go ahead of it.
      NETBUF_FUZZ_CHECK(st.poll_index >= 0 && st.poll_index <= fuzz::kReaders);
    }
  }
  fuzz::check_line(w.serial);
  // The reader's answer is for the PC that asked: none when it has gone.
  if (w.pc.conns.empty()) NETBUF_FUZZ_CHECK(st.pc_tx_len == 0);
  t.check_events();
  return 0;
}
