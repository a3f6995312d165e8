#include "pclink/modbus_tcp.h"

#include <gtest/gtest.h>

#include <memory>

#include "fakes.h"

namespace netbuf {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::FakeWorld;

struct PcLink : ::testing::Test {
  std::unique_ptr<FakeWorld> w = std::make_unique<FakeWorld>();
  void SetUp() override { w->pc.conns.resize(1); }
  Bytes request(const Bytes& bytes) {
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

  // Any changed register rebuilds, and the rebuild drops pending commands.
  request({0, 8, 0, 0, 0, 9, 0xFF, 0x10, 0x0B, 0xB8, 0, 1, 2, 0, 1});
  EXPECT_EQ(w->st.readers[1].action, 0);
}

TEST_F(PcLink, SeveralFramesOneSendAndTheFirstFunctionRules) {
  w->st.registers[0].val = 1;
  w->st.registers[1].val = 2;
  Bytes two{0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1, 0, 2, 0, 0, 0, 6, 0xFF, 3, 0, 1, 0, 1};
  EXPECT_EQ(request(two),
            (Bytes{0, 1, 0, 0, 0, 5, 0xFF, 3, 2, 0, 1, 0, 2, 0, 0, 0, 5, 0xFF, 3, 2, 0, 2}));
  // Function 4 is not served: nothing on the wire, but the answer line is written.
  w->log.lines.clear();
  EXPECT_TRUE(request({0, 1, 0, 0, 0, 6, 0xFF, 4, 0, 0, 0, 1}).empty());
  EXPECT_EQ(w->log.lines.back(), "BUF->PC:04:0->");
}

TEST_F(PcLink, IdleCountdownReloadedByAnyRequestOnly) {
  w->pc.conns[0].state.idle_ticks = 5;
  on_pc_data(w->ctx);  // nothing waiting
  EXPECT_EQ(w->pc.conns[0].state.idle_ticks, 5);
  EXPECT_FALSE(w->form.super_on);
  request({0, 1, 0, 0, 0, 6, 0xFF, 4, 0, 0, 0, 1});
  EXPECT_EQ(w->pc.conns[0].state.idle_ticks, 120);
  EXPECT_TRUE(w->form.super_on);
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

TEST_F(PcLink, FileRecordWriteIsEchoedWhole) {
  Bytes req{0, 3, 0, 0, 0, 0x29, 0xFF, 21, 0x26, 6, 0, 8, 0, 0, 0, 16};
  Bytes rec{0, 3, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0, 0, 0, 1, 0, 0, 0, 2};
  rec.resize(32, 0);
  req.insert(req.end(), rec.begin(), rec.end());
  EXPECT_EQ(request(req), req);
}

}  // namespace
}  // namespace netbuf
