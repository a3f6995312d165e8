#include "pclink/modbus_tcp.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "fakes.h"
#include "pclink/pc_endpoint.h"
#include "tests/unit/byte_vectors.h"

namespace netbuf {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::cat;
using testing::FakeWorld;
using testing::hex;

struct PcLink : ::testing::Test {
  std::unique_ptr<FakeWorld> w = std::make_unique<FakeWorld>();
  void SetUp() override { w->pc.conns.resize(1); }
  Bytes request(const Bytes& bytes) {
    w->clock.mono += 1000;  // each request on its own, not the rest of the one before
    w->pc.conns[0].out.clear();
    w->pc.feed(0, bytes);
    on_pc_data(w->ctx);
    return w->pc.conns[0].out;
  }
};

TEST_F(PcLink, ReadsRegistersHighByteFirst) {
  w->st.registers[3000].val = 0x1234;
  w->st.registers[3001].val = 42;
  EXPECT_EQ(request({0x00, 0x01, 0, 0, 0, 6, 0xFF, 3, 0x0B, 0xB8, 0, 2}),
            (Bytes{0x00, 0x01, 0, 0, 0, 7, 0xFF, 3, 4, 0x12, 0x34, 0x00, 0x2A}));
  ASSERT_EQ(w->log.lines.size(), 2u);
  EXPECT_EQ(w->log.lines[0], "PC->BUF:12 -> 00 01 00 00 00 06 FF 03 0B B8 00 02");
  EXPECT_EQ(w->log.lines[1], "BUF->PC:03:13-> 00 01 00 00 00 07 FF 03 04 12 34 00 2A");
}

TEST_F(PcLink, WriteMarksDirtyAndRebuildsOnlyOnChange) {
  const Bytes req{0x00, 0x07, 0, 0, 0, 9, 0xFF, 0x10, 0x05, 0x78, 0, 1, 2, 0x12, 0x34};
  EXPECT_EQ(request(req), (Bytes{0x00, 0x07, 0, 0, 0, 6, 0xFF, 0x10, 0x05, 0x78, 0, 1}));
  EXPECT_EQ(w->st.registers[1400].val, 0x1234);
  EXPECT_EQ(w->st.registers[1400].dirty, 1);
  ASSERT_EQ(w->st.reader_count, 1);
  EXPECT_EQ(w->st.readers[1].adr485, 0x12);

  // The same value again: answered, but no rebuild (a pending command survives).
  w->st.registers[1400].dirty = 0;
  w->st.readers[1].action = 2;
  EXPECT_EQ(request(req).size(), 12u);
  EXPECT_EQ(w->st.registers[1400].dirty, 0);
  EXPECT_EQ(w->st.readers[1].action, 2);

  // Any changed register rebuilds; a reader whose address stays keeps its
  // pending command, one that moves away loses it.
  request({0, 8, 0, 0, 0, 9, 0xFF, 0x10, 0x0B, 0xB8, 0, 1, 2, 0, 1});
  EXPECT_EQ(w->st.readers[1].action, 2);
  request({0, 9, 0, 0, 0, 9, 0xFF, 0x10, 0x05, 0x78, 0, 1, 2, 0x13, 0x34});
  EXPECT_EQ(w->st.readers[1].action, 0);

  // One write that swaps the slots of readers 0x13 and 0x20 rebuilds once:
  // both keep their pending commands, none passes through a list without it.
  request({0, 10, 0, 0, 0, 9, 0xFF, 0x10, 0x05, 0x7C, 0, 1, 2, 0x20, 0x00});
  w->st.readers[1].action = kActionRelay;
  w->st.readers[2].action = kActionBuzzerN;
  request({0,  11,   0, 0, 0, 17, 0xFF, 0x10, 0x05, 0x78, 0,   5,
           10, 0x20, 0, 0, 0, 0,  0,    0,    0,    0x13, 0x34});
  ASSERT_EQ(w->st.reader_count, 2);
  EXPECT_EQ(w->st.readers[1].adr485, 0x20);
  EXPECT_EQ(w->st.readers[1].action, kActionBuzzerN);
  EXPECT_EQ(w->st.readers[2].adr485, 0x13);
  EXPECT_EQ(w->st.readers[2].action, kActionRelay);
}

TEST_F(PcLink, SeveralFramesOneSendEachServedByItsFunction) {
  w->st.registers[0].val = 1;
  w->st.registers[1].val = 2;
  Bytes two{0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1, 0, 2, 0, 0, 0, 6, 0xFF, 3, 0, 1, 0, 1};
  EXPECT_EQ(request(two),
            (Bytes{0, 1, 0, 0, 0, 5, 0xFF, 3, 2, 0, 1, 0, 2, 0, 0, 0, 5, 0xFF, 3, 2, 0, 2}));
  // A write behind a read is applied and answered as a write.
  Bytes read_write{0, 3, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1};
  const Bytes write{0, 4, 0, 0, 0, 9, 0xFF, 16, 0, 1, 0, 1, 2, 0x12, 0x34};
  read_write.insert(read_write.end(), write.begin(), write.end());
  EXPECT_EQ(request(read_write),
            (Bytes{0, 3, 0, 0, 0, 5, 0xFF, 3, 2, 0, 1, 0, 4, 0, 0, 0, 6, 0xFF, 16, 0, 1, 0, 1}));
  EXPECT_EQ(w->st.registers[1].val, 0x1234);
  // A frame for reader 5 behind the buffer's own is not answered with the
  // buffer's registers; it ends the read.
  Bytes mixed{0, 5, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 6, 5, 3, 0, 0, 0, 1};
  mixed.insert(mixed.end(), two.begin(), two.begin() + 12);
  EXPECT_EQ(request(mixed), (Bytes{0, 5, 0, 0, 0, 5, 0xFF, 3, 2, 0, 1}));
  // Function 4 is not served: nothing on the wire, but the answer line is written.
  w->log.lines.clear();
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 6, 0xFF, 4, 0, 0, 0, 1}).empty());
  EXPECT_EQ(w->log.lines.back(), "BUF->PC:04:0->");
}

TEST_F(PcLink, IdleCountdownReloadedByAServedRequestOnly) {
  // A trickle of bytes, or requests that are not served, must not hold the
  // PC's place: only an answer (or a frame taken for a reader) counts.
  const std::pair<Bytes, int> cases[] = {
      {{}, 5},                                              // nothing waiting
      {{0}, 5},                                             // one byte
      {{0, 1, 0, 0, 0, 6, 0xFF, 4, 0, 0, 0, 1}, 5},         // function 4: no answer
      {{0, 1, 0, 0, 0, 6, 0xFF, 16, 0x23, 0x28, 0, 1}, 5},  // truncated write: no answer
      {{0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1}, 120},       // answered
      {{0, 1, 0, 0, 0, 6, 5, 3, 0, 10, 0, 5}, 120},         // passed to reader 5
  };
  w->st.registers[1400].val = 0x0500;
  w->st.reader_count = 1;
  w->st.readers[1].adr485 = 5;
  for (const auto& [bytes, ticks] : cases) {
    SCOPED_TRACE(bytes.size());
    w->pc.conns[0].state.idle_ticks = 5;
    w->clock.mono += 1000;
    if (!bytes.empty()) w->pc.feed(0, bytes);
    on_pc_data(w->ctx);
    EXPECT_EQ(w->pc.conns[0].state.idle_ticks, ticks);
    EXPECT_EQ(w->pc.conns[0].state.last_served_ms == w->clock.mono, ticks == 120);
  }
}

TEST_F(PcLink, OtherUnitGoesToTheReaderAndIsNotAnsweredNow) {
  w->st.registers[1400].val = 0x0200;
  w->st.reader_count = 1;
  w->st.readers[1].adr485 = 2;
  EXPECT_TRUE(
      request({0, 7, 0, 0, 0, 6, 2, 3, 0, 0, 0, 2, 0, 8, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1}).empty());
  EXPECT_EQ(w->log.lines.size(), 1u);  // only the PC->BUF line
}

TEST_F(PcLink, BadInputStaysInBoundsAndLaterRequestsAreServed) {
  // Quantity 0xFFFF, a range running past 8999, and a truncated frame: no answer.
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0xFF, 0xFF}).empty());
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 6, 0xFF, 3, 0x23, 0x27, 0, 10}).empty());
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0}).empty());
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 6}).empty());
  // A write whose data runs past the read, and one past register 8999.
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 9, 0xFF, 0x10, 0, 0, 0x7F, 0xFF, 0xFE, 1, 2}).empty());
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 9, 0xFF, 0x10, 0x23, 0x27, 0, 2, 4, 0, 1, 0, 2}).empty());
  EXPECT_EQ(w->st.registers[8999].val, 0);
  // The last register is reachable.
  w->st.registers[8999].val = 0xABCD;
  EXPECT_EQ(request({0, 1, 0, 0, 0, 6, 0xFF, 3, 0x23, 0x27, 0, 1}),
            (Bytes{0, 1, 0, 0, 0, 5, 0xFF, 3, 2, 0xAB, 0xCD}));

  // A read of 20 000 bytes: the first 10 004 are served, the rest is dropped.
  Bytes big;
  while (big.size() < 20000) {
    Bytes f{0, 9, 0, 0, 0, 6, 0xFF, 3, 0x23, 0x27, 0, 1};
    big.insert(big.end(), f.begin(), f.end());
  }
  big.resize(20000);
  Bytes out = request(big);
  EXPECT_EQ(out.size(), 833u * 11u);  // 10004 / 12 whole frames
  EXPECT_EQ(w->pc.bytes_waiting(0), 0);
  EXPECT_EQ(request({0, 1, 0, 0, 0, 6, 0xFF, 3, 0x23, 0x27, 0, 1}).size(), 11u);
}

TEST_F(PcLink, ManyLargeReadsNeverOverrunTheAnswerBuffer) {
  // 833 reads of 125 registers would answer 215 kB; the answer stops at the
  // buffer's end and what fitted still goes out.
  Bytes big;
  for (int i = 0; i < 833; ++i) {
    Bytes f{0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 125};
    big.insert(big.end(), f.begin(), f.end());
  }
  Bytes out = request(big);
  EXPECT_EQ(out.size(), 38u * 259u);
}

// A client that writes a request in pieces (header, then body) is served
// once the request is whole by its MBAP length; a start that waits too long,
// or that the next bytes cannot continue, is dropped.
TEST_F(PcLink, RequestsSplitAcrossReadsAreServedWhole) {
  w->st.registers[3000].val = 0x1234;
  w->st.registers[3001].val = 42;
  const Bytes req = hex("00 01 00 00 00 06 FF 03 0B B8 00 02");
  const Bytes answer = hex("00 01 00 00 00 07 FF 03 04 12 34 00 2A");
  const auto part = [&](std::size_t from, std::size_t to) {
    return Bytes(req.begin() + static_cast<std::ptrdiff_t>(from),
                 req.begin() + static_cast<std::ptrdiff_t>(to));
  };
  struct Read {
    int64_t after_ms;  // since the read before
    Bytes bytes;
  };
  struct Case {
    const char* name;
    std::vector<Read> reads;
    Bytes out;  // everything sent, all reads together
  };
  const Case cases[] = {
      {"after byte 1", {{0, part(0, 1)}, {100, part(1, 12)}}, answer},
      {"after the header", {{0, part(0, 6)}, {100, part(6, 12)}}, answer},
      {"after byte 11", {{0, part(0, 11)}, {100, part(11, 12)}}, answer},
      {"in four pieces",
       {{0, part(0, 1)}, {100, part(1, 6)}, {100, part(6, 11)}, {100, part(11, 12)}},
       answer},
      {"whole behind whole",
       {{0, cat({req, part(0, 7)})}, {100, part(7, 12)}},
       cat({answer, answer})},
      {"rest after 500 ms", {{0, part(0, 6)}, {499, part(6, 12)}}, answer},
      {"rest too late", {{0, part(0, 6)}, {501, part(6, 12)}, {0, req}}, answer},
      // "00 01 00" going on as "00 01 00 00 01 00 ...": length 256, too long.
      {"start the next bytes cannot continue", {{0, part(0, 3)}, {100, req}}, answer},
      // Protocol identifier 1: garbage, dropped as ever, not held.
      {"garbage header", {{0, hex("00 01 00 01 00 06 FF")}, {100, req}}, answer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w = std::make_unique<FakeWorld>();
    w->pc.conns.resize(1);
    w->st.registers[3000].val = 0x1234;
    w->st.registers[3001].val = 42;
    for (const Read& r : c.reads) {
      w->clock.mono += r.after_ms;
      w->pc.feed(0, r.bytes);
      on_pc_data(w->ctx);
    }
    EXPECT_EQ(w->pc.conns[0].out, c.out);
  }

  // A new PC does not finish what the one before began.
  request(part(0, 6));
  on_pc_disconnect(w->ctx, 0);
  w->pc.feed(0, part(6, 12));
  on_pc_data(w->ctx);
  EXPECT_TRUE(w->pc.conns[0].out.empty());
}

TEST_F(PcLink, FileRecordWriteIsEchoedWhole) {
  Bytes req{0, 3, 0, 0, 0, 0x29, 0xFF, 21, 0x26, 6, 0, 8, 0, 0, 0, 16};
  Bytes rec{0, 3, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0, 0, 0, 1, 0, 0, 0, 2};
  rec.resize(32, 0);
  req.insert(req.end(), rec.begin(), rec.end());
  EXPECT_EQ(request(req), req);
}

}  // namespace
}  // namespace netbuf

namespace netbuf {
namespace {

Bytes be16(int v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// Registers hold their own address, so an answer shows which ones it read.
Bytes words(int start, int q) {
  Bytes out;
  for (int k = start; k < start + q; ++k) out = cat({out, be16(k)});
  return out;
}

Bytes card_record(int index) {
  return Bytes(32, static_cast<uint8_t>(index * 7 + 1));
}

Bytes f3(int start, int q) {
  return cat({hex("00 01 00 00 00 06 FF 03"), be16(start), be16(q)});
}

Bytes f16(int start, const std::vector<int>& values) {
  const int q = static_cast<int>(values.size());
  Bytes out = cat({hex("00 02 00 00"),
                   be16(7 + 2 * q),
                   hex("FF 10"),
                   be16(start),
                   be16(q),
                   {static_cast<uint8_t>(2 * q)}});
  for (int v : values) out = cat({out, be16(v)});
  return out;
}

Bytes f20(int file, int record, int length) {
  return cat({hex("00 03 00 00 00 0A FF 14 07 06 00"),
              {static_cast<uint8_t>(file)},
              be16(record),
              {0, static_cast<uint8_t>(length)}});
}

Bytes f21(int index) {
  Bytes record = card_record(9);
  record[0] = static_cast<uint8_t>(index >> 8);
  record[1] = static_cast<uint8_t>(index);
  return cat({hex("00 04 00 00 00 2A FF 15 27 06 00 08 00 00 00 10"), record});
}

TEST(PcRequestBoundaries, ExactAnswersAtTheEdgesOfEveryFunction) {
  const Bytes f3_125 = hex("00 01 00 00 00 FD FF 03 FA");
  const Bytes f20_one = hex("00 03 00 00 00 25 FF 14 22 21 06");
  const Bytes f20_refused = hex("00 03 00 00 00 03 FF 94 02");
  struct Case {
    const char* name;
    Bytes request;
    Bytes answer;  // empty: no answer at all
    std::function<bool(const BufferState&)> after;
  };
  const Case cases[] = {
      {"f3 quantity 0", f3(0, 0), hex("00 01 00 00 00 03 FF 03 00"), nullptr},
      {"f3 quantity 125", f3(0, 125), cat({f3_125, words(0, 125)}), nullptr},
      {"f3 quantity 126", f3(0, 126), {}, nullptr},
      {"f3 start + quantity 9000", f3(8875, 125), cat({f3_125, words(8875, 125)}), nullptr},
      {"f3 start + quantity 9001", f3(8876, 125), {}, nullptr},
      {"f3 last register", f3(8999, 1), hex("00 01 00 00 00 05 FF 03 02 23 27"), nullptr},
      {"f3 past the image", f3(9000, 1), {}, nullptr},
      // A value stored negative goes out as div and mod 256, truncated:
      // -2, -300, -1 (registers 7000..7002, set below).
      {"f3 negative values", f3(7000, 3), hex("00 01 00 00 00 09 FF 03 06 00 FE FF D4 00 FF"),
       nullptr},
      // The answer's length is its own, whatever the request's says.
      {"f3 odd length high byte", hex("00 01 00 00 01 06 FF 03 00 05 00 01"),
       hex("00 01 00 00 00 05 FF 03 02 00 05"), nullptr},
      {"f16 quantity 0", f16(0, {}), hex("00 02 00 00 00 06 FF 10 00 00 00 00"), nullptr},
      {"f16 start + quantity 9000", f16(8998, {7, 8}), hex("00 02 00 00 00 06 FF 10 23 26 00 02"),
       [](const BufferState& st) {
         return st.registers[8998].val == 7 && st.registers[8999].val == 8;
       }},
      {"f16 start + quantity 9001",
       f16(8999, {7, 8}),
       {},
       [](const BufferState& st) { return st.registers[8999].val == 8999; }},
      {"f20 first record of file 8", f20(8, 0, 0x10), cat({f20_one, card_record(0)}), nullptr},
      {"f20 last record of file 8", f20(8, 511, 0x10), cat({f20_one, card_record(511)}), nullptr},
      {"f20 first record of file 9", f20(9, 0, 0x10), cat({f20_one, card_record(512)}), nullptr},
      {"f20 last card", f20(23, 12320, 0x10), cat({f20_one, card_record(20000)}), nullptr},
      {"f20 past the last card", f20(23, 12321, 0x10), f20_refused, nullptr},
      {"f20 window over the last card", f20(23, 12320, 0x20), f20_refused, nullptr},
      {"f20 seven records", f20(8, 0, 0x70),
       cat({hex("00 03 00 00 00 E5 FF 14 E2 E1 06"), card_record(0), card_record(1), card_record(2),
            card_record(3), card_record(4), card_record(5), card_record(6)}),
       nullptr},
      {"f20 eight records", f20(8, 0, 0x80), f20_refused, nullptr},
      {"f21 last card", f21(20000), f21(20000),
       [](const BufferState& st) { return st.cards[20000].dirty == 1; }},
      {"f21 past the last card", f21(20001), f21(20001),
       [](const BufferState& st) { return st.cards[20000].dirty == 0 && st.cards[0].dirty == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto w = std::make_unique<FakeWorld>();
    w->pc.conns.resize(1);
    for (int k = 0; k < kRegisterCount; ++k) w->st.registers[k].val = k;
    w->st.registers[7000].val = -2;
    w->st.registers[7001].val = -300;
    w->st.registers[7002].val = -1;
    for (int i : {0, 1, 2, 3, 4, 5, 6, 511, 512, 20000}) {
      const Bytes r = card_record(i);
      std::copy(r.begin(), r.end(), w->st.cards[i].pc_record.begin());
    }
    w->pc.feed(0, c.request);
    on_pc_data(w->ctx);
    EXPECT_EQ(w->pc.conns[0].out, c.answer);
    if (c.after) {
      EXPECT_TRUE(c.after(w->st));
    }
  }
}

}  // namespace
}  // namespace netbuf
