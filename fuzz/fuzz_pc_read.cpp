// One read of the management PC's connection, any bytes at all: whatever
// unit and function it names, on_pc_data must stay inside its buffers and
// the tables. Function 20 on file 128 runs its queries against a real net.db
// with event rows, odd ones among them.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pclink/modbus_tcp.h"
#include "store/sql_texts.h"

namespace netbuf::fuzz {
namespace {

constexpr int kEventRows = 40;
// A function-20 frame header: the loop over a read may step one past its end.
constexpr int kFileRecordHeader = 16;

void fill_events(Database& db) {
  NETBUF_FUZZ_CHECK(db.begin());
  for (int id = 1; id <= kEventRows; ++id) {
    sql::EventValues v;
    v.id = id;
    v.adr485 = id % 7;
    v.time = 1700000000 + id;
    v.timezone = 0x80000001u;
    v.kod = {id, 0xFF, 0, 0x12, 0x34};
    v.status = id % 8;
    v.code_no = id * 3;
    NETBUF_FUZZ_CHECK(db.run_prepared(sql::kInsertEvent, sql::insert_event_values(v)));
  }
  // An Id stored twice (the PC set the counter back), a row of NULLs, values
  // wider than their record fields, and text where numbers belong.
  NETBUF_FUZZ_CHECK(db.run("INSERT INTO event(ID, typ) VALUES (7, 81)"));
  NETBUF_FUZZ_CHECK(db.run("INSERT INTO event(ID) VALUES (8)"));
  NETBUF_FUZZ_CHECK(db.run(
      "INSERT INTO event VALUES (9, -1, 99999, -5, 9223372036854775807, 300, -2, 256, 65535, "
      "-129, 1e300, -70000, 70000, -1, 65536, -9223372036854775808)"));
  NETBUF_FUZZ_CHECK(db.run("INSERT INTO event(ID, typ, time, kod1) VALUES (10, 'x', 'late', 2.5)"));
  NETBUF_FUZZ_CHECK(db.run("INSERT INTO event(ID) VALUES (-1)"));
  NETBUF_FUZZ_CHECK(db.run("INSERT INTO event(ID) VALUES (2147483647)"));
  NETBUF_FUZZ_CHECK(db.commit());
}

struct Target {
  ScratchDir dir;
  FuzzWorld fw;

  Target() {
    testing::FakeWorld& w = fw.w();
    open_new_db(w, dir.path("net.db"), fill_events);
    w.pc.conns.resize(1);

    BufferState& st = fw.st();
    // Readers at addresses 5 (relay) and 2 (zone 1), so pass-through finds
    // a configured reader as well as the fallback entry.
    st.registers[kRegReaderSlots] = Register{0x0500, 0};
    st.registers[kRegReaderSlots + 1] = Register{0x0C00, 0};
    st.registers[kRegReaderSlots + 4] = Register{0x0201, 0};
    // Events 1 ... 40 stored, none read yet.
    st.registers[kRegReadPtrLo] = Register{1, 0};
    st.registers[kRegEventCntLo] = Register{kEventRows, 0};
    st.registers[kRegCardCount] = Register{100, 0};
    // Values only the database can put there: a function-3 answer shows them.
    st.registers[10] = Register{-1, 0};
    st.registers[11] = Register{0x7FFFFFFF, 0};
    st.registers[12] = Register{-2147483647 - 1, 0};
    for (int k = 0; k < 20; ++k) {
      std::fill(st.cards[k].pc_record.begin(), st.cards[k].pc_record.end(),
                static_cast<uint8_t>(k));
      st.set_card_kod(k, "00000000" + std::to_string(10 + k));
    }
    fw.snapshot();
  }
};

// The buffer's own answers, as the PC decodes them: whole frames back to
// back, each MBAP length counting exactly the bytes after it, and a function
// 3 answer carrying two bytes for each register its request asked for.
void check_answers_decode(const std::vector<uint8_t>& out, const uint8_t* req, int n) {
  auto be16 = [](const uint8_t* p) { return p[0] << 8 | p[1]; };
  int next_request = 0;
  for (size_t pos = 0; pos < out.size();) {
    if (pos + 8 > out.size() || out[pos + 7] == 21) {
      // An upload is answered with its own bytes, whatever the PC put in
      // them (a frame cut short is echoed as it came): from here on the
      // answer is the PC's own, so it decodes as well as the request did.
      const auto head = out.begin() + static_cast<std::ptrdiff_t>(pos);
      const auto head_end = head + std::min<std::ptrdiff_t>(out.end() - head, 8);
      NETBUF_FUZZ_CHECK(std::search(req, req + n, head, head_end) != req + n);
      return;
    }
    const size_t len = static_cast<size_t>(be16(&out[pos + 4]));
    NETBUF_FUZZ_CHECK(len >= 2 && pos + 6 + len <= out.size());
    if (out[pos + 7] == 3) {
      const int byte_count = out[pos + 8];
      NETBUF_FUZZ_CHECK(static_cast<size_t>(byte_count) + 3 == len);
      // Its request is a later function-3 frame of the read (frames of other
      // functions and lengths may stand between) with the same transaction
      // number and a quantity of byte_count / 2.
      bool found = false;
      for (; !found && next_request + 12 <= n; ++next_request) {
        const uint8_t* r = req + next_request;
        found =
            r[0] == out[pos] && r[1] == out[pos + 1] && r[7] == 3 && 2 * be16(r + 10) == byte_count;
      }
      NETBUF_FUZZ_CHECK(found);
      next_request += 11;  // past the rest of the frame just matched
    }
    pos += 6 + len;
  }
}

}  // namespace
}  // namespace netbuf::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf;
  static fuzz::Target t;
  // Only an upload (function 21, which marks what it changes) touches cards,
  // and only the previous input can have left any changed. Any frame of a read
  // to the buffer may be one.
  static bool cards_changed = false;
  t.fw.restore(cards_changed ? fuzz::FuzzWorld::Cards::kMarked
                             : fuzz::FuzzWorld::Cards::kUntouched);
  cards_changed = size > 7 && data[6] == 255;
  testing::FakeWorld& w = t.fw.w();
  BufferState& st = w.st;

  w.pc.conns[0].in.assign(data, data + size);
  on_pc_data(w.ctx);

  t.fw.check_bounds();
  const auto& out = w.pc.conns[0].out;
  // Whatever did not fit the buffer is drained, never left for the next read.
  NETBUF_FUZZ_CHECK(w.pc.conns[0].in.empty());
  if (size == 0) {
    NETBUF_FUZZ_CHECK(out.empty());
    return 0;
  }
  // What is served now: the read, less the start of a request it ends in.
  const int n = st.pc_request.rx_len;
  NETBUF_FUZZ_CHECK(n >= 0 && n <= static_cast<int>(std::min<size_t>(size, kPcBufferSize)));
  NETBUF_FUZZ_CHECK(st.pc_request.held_len == 0 ||
                    n + st.pc_request.held_len ==
                        static_cast<int>(std::min<size_t>(size, kPcBufferSize)));
  NETBUF_FUZZ_CHECK(st.pc_request.pos >= 0 && st.pc_request.pos < n + fuzz::kFileRecordHeader);
  const bool own = n > 7 && data[6] == 255;
  if (!own) {
    // Other units wait for their reader; too short a read gets nothing. Only
    // a unit that no reader slot has is answered at once, with exception 0x0A.
    NETBUF_FUZZ_CHECK(out.size() % 9 == 0);
    for (std::size_t i = 0; i < out.size(); i += 9) {
      NETBUF_FUZZ_CHECK(out[i + 5] == 3 && (out[i + 7] & 0x80) && out[i + 8] == 0x0A);
      NETBUF_FUZZ_CHECK(st.find_reader(out[i + 6]) == 0);
    }
    return 0;
  }
  // Everything built for the PC goes in one send.
  NETBUF_FUZZ_CHECK(static_cast<int>(out.size()) == st.pc_tx_len);
  // A file upload is answered with the request itself; frames behind it in the
  // same read are served by their own functions.
  if (data[7] == 21) {
    const size_t head = std::min<size_t>(n, fuzz::kFileRecordHeader);
    NETBUF_FUZZ_CHECK(out.size() >= head && std::equal(data, data + head, out.begin()));
  } else {
    fuzz::check_answers_decode(out, data, n);
  }
  fuzz::check_lines_written(w);
  return 0;
}
