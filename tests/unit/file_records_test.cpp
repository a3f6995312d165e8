#include "pclink/file_records.h"

#include <gtest/gtest.h>

#include <vector>

#include "pclink/modbus_tcp.h"
#include "tests/unit/byte_vectors.h"
#include "tests/unit/fakes.h"
#include "tests/unit/test_db.h"

namespace netbuf {
namespace {

using testing::Bytes;
using testing::cat;
using testing::hex;

// A granted card at reader 3, 2019-03-31 10:00 UTC, zones 0, 2 and 31.
std::string event_row(int id, int adr485 = 3) {
  return "INSERT INTO event VALUES(" + std::to_string(id) + ", 80, " + std::to_string(adr485) +
         ", 1554026400, 2147483653, 42, 17, 34, 51, 68, 85, 4, 65535, 0, 0, 0)";
}

// The record of event_row(id), field by field.
Bytes event_record(uint32_t id, uint8_t adr485 = 3) {
  return cat({{static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16),
               static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)},  // ID
              hex("50"),
              {adr485},                  // typ, ADR485
              hex("5C A0 8F A0"),        // time
              hex("80 00 00 05"),        // timezone
              hex("2A 11 22 33 44 55"),  // typ_kodu, kod1..kod5
              hex("00 04 FF FF"),        // status, code_no
              hex("00 00 00 00"),        // alarm, event
              hex("00 00 00 00")});      // q5
}

class FileRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.create(0, 0);
    w.db.open(db.path());
  }
  void add(int id, int adr485 = 3) { db.exec(event_row(id, adr485)); }
  // Puts one read from the PC into pc_request, as the request handler does.
  void read(const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), w.st.pc_request.rx.begin());
    w.st.pc_request.rx_len = static_cast<int32_t>(bytes.size());
    w.st.pc_request.pos = 0;
    w.st.pc_tx_len = 0;
  }
  Bytes answer() const { return Bytes(w.st.pc_tx.begin(), w.st.pc_tx.begin() + w.st.pc_tx_len); }
  // One function-20 request: tid 12 34, file F, record R, length L.
  Bytes fetch(uint8_t file, uint16_t record, uint8_t length) {
    read(cat({hex("12 34 00 00 00 0A FF 14 07 06 00"),
              {file},
              {static_cast<uint8_t>(record >> 8), static_cast<uint8_t>(record)},
              {0, length}}));
    read_file_record(w.ctx);
    EXPECT_EQ(w.st.pc_request.pos, 16);
    hand_over_read_pointer(w.ctx);  // as when the socket takes the answer
    return answer();
  }
  void events(int32_t counter, int32_t pointer) {
    w.st.registers[kRegEventCntHi] = Register{counter >> 16, 0};
    w.st.registers[kRegEventCntLo] = Register{counter & 0xFFFF, 0};
    w.st.registers[kRegReadPtrHi] = Register{pointer >> 16, 0};
    w.st.registers[kRegReadPtrLo] = Register{pointer & 0xFFFF, 0};
  }

  const Bytes no_events = hex("12 34 00 00 00 03 FF 94 02");
  testing::TempDb db;
  testing::FakeWorld w;
};

TEST_F(FileRecordsTest, EventReadoutMovesThePointerPastTheLastIdSent) {
  for (int id = 1; id <= 10; ++id) add(id);
  events(10, 8);

  EXPECT_EQ(fetch(128, 0, 0x70), cat({hex("12 34 00 00 00 65 FF 14 62 61 06"), event_record(8),
                                      event_record(9), event_record(10)}));
  EXPECT_EQ(w.st.registers[kRegReadPtrHi].val, 0);
  EXPECT_EQ(w.st.registers[kRegReadPtrLo].val, 11);
  EXPECT_EQ(w.st.registers[kRegReadPtrHi].dirty, 1);
  EXPECT_EQ(w.st.registers[kRegReadPtrLo].dirty, 1);
  EXPECT_EQ(w.window.events, 10);
  EXPECT_EQ(w.window.read_pointer, 11);

  // Past the counter: no query, the pointer stays.
  w.st.registers[kRegReadPtrLo].dirty = 0;
  EXPECT_EQ(fetch(128, 0, 0x70), no_events);
  EXPECT_EQ(w.st.event_read_pointer(), 11);
  EXPECT_EQ(w.st.registers[kRegReadPtrLo].dirty, 0);

  // The pointer carries into register 800.
  add(65535);
  events(70000, 65535);
  EXPECT_EQ(fetch(128, 0, 0x20),
            cat({hex("12 34 00 00 00 25 FF 14 22 21 06"), event_record(65535)}));
  EXPECT_EQ(w.st.registers[kRegReadPtrHi].val, 1);
  EXPECT_EQ(w.st.registers[kRegReadPtrLo].val, 0);
}

TEST_F(FileRecordsTest, EventGapsDuplicatesAndFailures) {
  for (int id : {8, 10, 14}) add(id);
  add(14, 0x1FF);  // a repeated Id; wide values keep their low bytes
  events(20, 8);

  const Bytes one = hex("12 34 00 00 00 25 FF 14 22 21 06");
  // Gaps are skipped; of a repeated Id only its latest row comes, once.
  struct Step {
    Bytes answer;
    int32_t pointer_after;
  };
  const Step steps[] = {
      {cat({one, event_record(8)}), 9},
      {cat({one, event_record(10)}), 11},
      {cat({one, event_record(14, 0xFF)}), 15},
      {no_events, 15},
      {no_events, 15},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(fetch(128, 0, 0x10), s.answer);
    EXPECT_EQ(w.st.event_read_pointer(), s.pointer_after);
  }
  // All at once: ascending, within the counter.
  events(10, 1);
  EXPECT_EQ(fetch(128, 0, 0xF0),
            cat({hex("12 34 00 00 00 45 FF 14 42 41 06"), event_record(8), event_record(10)}));
  EXPECT_EQ(w.st.event_read_pointer(), 11);
  // Never more records than the one-byte counts can say, however many asked.
  for (int id = 20; id < 40; ++id) add(id);
  events(39, 20);
  const Bytes seven = fetch(128, 0, 0xF0);
  ASSERT_EQ(seven.size(), 11u + 7 * 32);
  EXPECT_EQ(Bytes(seven.begin(), seven.begin() + 11), hex("12 34 00 00 00 E5 FF 14 E2 E1 06"));
  EXPECT_EQ(w.st.event_read_pointer(), 27);

  // A failing query or an unreadable row counts as no rows.
  events(20, 8);
  db.exec("ALTER TABLE event RENAME TO event_away");
  EXPECT_EQ(fetch(128, 0, 0x20), no_events);
  db.exec(
      "CREATE TABLE event(ID INTEGER, typ INTEGER, ADR485 INTEGER, time TEXT, "
      "timezone INTEGER, typ_kodu INTEGER, kod1 INTEGER, kod2 INTEGER, kod3 INTEGER, "
      "kod4 INTEGER, kod5 INTEGER, status INTEGER, code_no INTEGER, alarm INTEGER, "
      "event INTEGER, q5 INTEGER)");
  db.exec("INSERT INTO event SELECT * FROM event_away");
  EXPECT_EQ(fetch(128, 0, 0x20), no_events);
  EXPECT_EQ(w.st.event_read_pointer(), 8);
  EXPECT_EQ(w.st.registers[kRegReadPtrLo].dirty, 0);
}

TEST_F(FileRecordsTest, CardFilesReturnTheUploadedRecords) {
  for (int i = 0; i < 32; ++i) w.st.cards[517].pc_record[i] = static_cast<uint8_t>(i);
  const Bytes record517(w.st.cards[517].pc_record.begin(), w.st.cards[517].pc_record.end());

  EXPECT_EQ(fetch(9, 5, 0x10), cat({hex("12 34 00 00 00 25 FF 14 22 21 06"), record517}));
  EXPECT_EQ(fetch(8, 517, 0x1F), cat({hex("12 34 00 00 00 25 FF 14 22 21 06"), record517}));
  EXPECT_EQ(fetch(9, 5, 0x00), hex("12 34 00 00 00 05 FF 14 02 01 06"));
  // Eight records would overflow the 8-bit length fields: refused.
  EXPECT_EQ(fetch(8, 0, 0x80), no_events);

  // File 23 ends at entry 20000; a window past it is refused.
  w.st.cards[20000].pc_record.fill(0xEE);
  EXPECT_EQ(fetch(23, 12320, 0x10),
            cat({hex("12 34 00 00 00 25 FF 14 22 21 06"), Bytes(32, 0xEE)}));
  EXPECT_EQ(fetch(23, 12320, 0x20), no_events);
  EXPECT_EQ(fetch(23, 65535, 0xF0), no_events);

  for (uint8_t other : {0, 7, 24, 127, 129, 255}) EXPECT_EQ(fetch(other, 0, 0x10), Bytes{});

  // A frame cut short by the end of the read is not answered.
  read(hex("12 34 00 00 00 0A FF 14 07 06 00 09 00 05 00"));
  read_file_record(w.ctx);
  EXPECT_EQ(w.st.pc_tx_len, 0);
  EXPECT_EQ(w.st.pc_request.pos, 16);
}

TEST_F(FileRecordsTest, AnswersNeverRunPastTheSendBuffer) {
  add(1);
  events(1, 1);
  const Bytes request = hex("12 34 00 00 00 0A FF 14 07 06 00 80 00 00 00 10");

  read(request);
  w.st.pc_tx_len = kPcBufferSize - 42;  // one record needs 43
  read_file_record(w.ctx);
  hand_over_read_pointer(w.ctx);
  EXPECT_EQ(w.st.pc_tx_len, kPcBufferSize - 42);
  EXPECT_EQ(w.st.event_read_pointer(), 1);  // not sent, so not read

  read(request);
  w.st.pc_tx_len = kPcBufferSize - 43;
  read_file_record(w.ctx);
  hand_over_read_pointer(w.ctx);
  EXPECT_EQ(w.st.pc_tx_len, kPcBufferSize);
  EXPECT_EQ(w.st.event_read_pointer(), 2);

  read(request);  // now the exception answer, 9 bytes
  w.st.pc_tx_len = kPcBufferSize - 8;
  read_file_record(w.ctx);
  EXPECT_EQ(w.st.pc_tx_len, kPcBufferSize - 8);
}

TEST_F(FileRecordsTest, CardUploadStoresRecordsInsideTheTable) {
  const Bytes header = hex("00 05 00 00 00 2B FF 15 28 06 00 08 00 00 00 10");
  const Bytes record =
      cat({hex("00 03 01 12 34 56 78 9A 00 00 00 01 00 00 00 02"), Bytes(16, 0xA5)});

  read(cat({header, record}));
  EXPECT_TRUE(write_file_record(w.ctx));
  EXPECT_EQ(w.st.pc_request.pos, 48);
  const CardEntry& c = w.st.cards[3];
  EXPECT_EQ(c.typ, 1);
  EXPECT_EQ(c.kod, "123456789A");
  EXPECT_EQ(c.lcd, "---");
  EXPECT_EQ(c.time_zone, 1);
  EXPECT_EQ(c.geo_zone, 2);
  EXPECT_EQ(c.dirty, 1);
  EXPECT_EQ(Bytes(c.pc_record.begin(), c.pc_record.end()), record);
  EXPECT_EQ(w.st.card_index().lowest("123456789A", 100), 3);
  EXPECT_EQ(fetch(8, 3, 0x10), cat({hex("12 34 00 00 00 25 FF 14 22 21 06"), record}));

  // A second upload of the entry moves its code in the index; masks are 32 bits.
  const Bytes again = cat({hex("00 03 FF AB CD EF 01 02 80 00 00 00 FF FF FF FF"), Bytes(16, 0)});
  read(cat({header, again}));
  EXPECT_TRUE(write_file_record(w.ctx));
  EXPECT_EQ(c.typ, 255);
  EXPECT_EQ(c.time_zone, INT32_MIN);
  EXPECT_EQ(c.geo_zone, -1);
  EXPECT_EQ(w.st.card_index().lowest("123456789A", 20000), -1);
  EXPECT_EQ(w.st.card_index().lowest("ABCDEF0102", 20000), 3);

  // Indices beyond the table are skipped; the rest of the frame is stored.
  for (CardEntry& card : w.st.cards) card.dirty = 0;
  read(cat({hex("00 06 00 00 00 6B FF 15 68 06 00 08 00 00 00 30"),
            hex("4E 21 01 11 11 11 11 11 00 00 00 01 00 00 00 01"), Bytes(16, 0),
            hex("00 05 02 22 22 22 22 22 00 00 00 01 00 00 00 01"), Bytes(16, 0),
            hex("FF FF 01 33 33 33 33 33 00 00 00 01 00 00 00 01"), Bytes(16, 0)}));
  EXPECT_TRUE(write_file_record(w.ctx));
  EXPECT_EQ(w.st.pc_request.pos, 16 + 3 * 32);
  for (int k = 0; k < kCardCount; ++k) EXPECT_EQ(w.st.cards[k].dirty, k == 5 ? 1 : 0) << k;
  EXPECT_EQ(w.st.cards[5].kod, "2222222222");
  EXPECT_EQ(w.st.card_index().lowest("1111111111", 20000), -1);

  // Not file 8, or a frame longer than the read: nothing stored, the read ends.
  for (const Bytes& bad : {cat({hex("00 05 00 00 00 2B FF 15 28 06 00 09 00 00 00 10"), record}),
                           cat({hex("00 05 00 00 00 4B FF 15 48 06 00 08 00 00 00 20"), record}),
                           hex("00 05 00 00 00 2B FF 15 28 06 00 08 00 00 00")}) {
    for (CardEntry& card : w.st.cards) card.dirty = 0;
    read(bad);
    EXPECT_FALSE(write_file_record(w.ctx));
    EXPECT_EQ(w.st.pc_request.pos, 0);
    EXPECT_EQ(w.st.cards[3].dirty, 0);
  }

  // No records: the header alone is consumed.
  read(hex("00 05 00 00 00 0B FF 15 08 06 00 08 00 00 00 0F"));
  EXPECT_TRUE(write_file_record(w.ctx));
  EXPECT_EQ(w.st.pc_request.pos, 16);
}

TEST_F(FileRecordsTest, ThePointerMovesOnlyWithAnAnswerTheSocketTook) {
  const Bytes two = hex("12 34 00 00 00 0A FF 14 07 06 00 80 00 00 00 20");
  const Bytes one = hex("12 34 00 00 00 0A FF 14 07 06 00 80 00 00 00 10");
  const Bytes set_pointer_2 = hex("00 09 00 00 00 0B FF 10 03 20 00 02 04 00 00 00 02");
  const Bytes pointer_set = hex("00 09 00 00 00 06 FF 10 03 20 00 02");
  const Bytes header1 = hex("12 34 00 00 00 25 FF 14 22 21 06");
  const Bytes header2 = hex("12 34 00 00 00 45 FF 14 42 41 06");
  for (int id = 1; id <= 4; ++id) add(id);
  events(4, 1);
  w.pc.conns.resize(1);
  struct Step {
    Bytes read;
    bool reading;  // false: the connection drops answers, its peer reads none
    Bytes sent;
    int32_t pointer_after;
  };
  const Step steps[] = {
      {two, false, {}, 1},
      {two, true, cat({header2, event_record(1), event_record(2)}), 3},
      // The PC's own pointer, written after an answer in the same read, stands.
      {cat({one, set_pointer_2}), true, cat({header1, event_record(3), pointer_set}), 2},
      // Two requests in one read: the second goes on where the first ends.
      {cat({one, one}), true, cat({header1, event_record(2), header1, event_record(3)}), 4},
      {one, false, {}, 4},
      {one, true, cat({header1, event_record(4)}), 5},
  };
  for (const Step& s : steps) {
    w.pc.conns[0].stopped_reading = !s.reading;
    w.pc.conns[0].out.clear();
    w.clock.mono += 1000;
    w.pc.feed(0, s.read);
    on_pc_data(w.ctx);
    EXPECT_EQ(w.pc.conns[0].out, s.sent);
    EXPECT_EQ(w.st.event_read_pointer(), s.pointer_after);
    EXPECT_EQ(w.window.read_pointer, s.pointer_after);
  }
}

}  // namespace
}  // namespace netbuf
