#include "core/reader_rebuild.h"

#include <gtest/gtest.h>

#include <memory>

#include "fakes.h"

namespace netbuf {
namespace {

using testing::FakeWorld;

TEST(ReaderRebuild, PacksSlotsAndFillsStatus) {
  auto w = std::make_unique<FakeWorld>();
  auto& st = w->st;
  st.registers[1400].val = 0x0501;
  st.registers[1401].val = 0x0C07;
  st.registers[1402].val = 1234;
  st.registers[1403].val = 4321;
  st.registers[1408].val = 0x0702;  // slot 2; slot 1 empty
  st.registers[1412].val = 0x0005;  // address 0, geo zone 5: still a reader
  st.registers[1417].val = 0x0C00;  // slot 4: only its second register set -> empty
  st.registers[3170].val = 42;
  st.registers[3203].val = 0x12;
  st.registers[3204].val = 0x3456;
  st.registers[3205].val = 0x789A;
  st.registers[800].val = 1;
  st.registers[801].val = 2;
  st.registers[804].val = 0;
  st.registers[805].val = 9;
  w->serial.number = 3;
  st.readers[1].action = 2;
  st.readers[1].armed = 1;
  st.readers[1].last_code = "0011223344AA";
  st.readers[1].pc_wait = 0xFF;
  st.readers[1].hold_off = 3;
  st.readers[4].adr485 = 77;  // beyond the new count: cleared

  rebuild_readers(w->ctx);

  ASSERT_EQ(st.reader_count, 3);
  EXPECT_EQ(st.readers[1].adr485, 5);
  EXPECT_EQ(st.readers[1].geo_zone, 1);
  EXPECT_EQ(st.readers[1].flags, 0x0C);
  EXPECT_EQ(st.readers[1].action, 0);
  EXPECT_EQ(st.readers[1].armed, 0);
  EXPECT_EQ(st.readers[1].pc_wait, 0);
  EXPECT_EQ(st.readers[1].hold_off, 0);
  EXPECT_EQ(st.readers[1].last_code, "");  // address 5 is new to the list
  EXPECT_EQ(st.readers[2].adr485, 7);
  EXPECT_EQ(st.readers[2].geo_zone, 2);
  EXPECT_EQ(st.readers[3].adr485, 0);
  EXPECT_EQ(st.readers[3].geo_zone, 5);
  EXPECT_EQ(st.readers[4].adr485, 0);
  EXPECT_EQ(st.card_count, 42);

  EXPECT_EQ(w->window.mac, "0012-3456-789A");
  EXPECT_EQ(w->window.card_count, 42);
  EXPECT_EQ(w->window.reader_count, 3);
  EXPECT_EQ(w->window.com_port, 3);
  EXPECT_EQ(w->window.events, 9);
  EXPECT_EQ(w->window.read_pointer, 65538);
}

TEST(ReaderRebuild, ShowsEachBuzzerPatternInItsOwnRow) {
  auto w = std::make_unique<FakeWorld>();
  w->st.n_card = 0x8001;
  w->st.s_card = 0x4000;
  rebuild_readers(w->ctx);
  EXPECT_EQ(w->window.ticked.unknown_card, 0x8001);
  EXPECT_EQ(w->window.ticked.wrong_zone, 0x4000);
}

TEST(ReaderRebuild, ReadersKeepTheirStateUnderTheirAddress) {
  auto w = std::make_unique<FakeWorld>();
  auto& st = w->st;
  auto slots = [&](std::initializer_list<int> addresses) {
    int slot = 0;
    for (int a : addresses) st.registers[kRegReaderSlots + 4 * slot++].val = a << 8;
    rebuild_readers(w->ctx);
  };
  slots({5, 7, 9});
  st.readers[1].last_code = "AA";
  st.readers[1].armed = 1;
  st.readers[1].action = kActionRelay;
  ReaderEntry& seven = st.readers[2];
  seven.armed = 1;
  seven.action = kActionForward;
  seven.sent = kActionRelay;
  seven.pc_wait = 0xFF;
  seven.tx_frame[0] = 7;
  seven.tx_len = 8;
  seven.pc_tid = 0x42;
  seven.hold_off = 2;
  st.readers[3].last_code = "CC";
  st.readers[3].armed = 1;
  st.readers[3].action = kActionBuzzerN;

  // Reader 5 leaves: 7 and 9 move down a place with all they had.
  slots({0, 7, 9});
  ASSERT_EQ(st.reader_count, 2);
  EXPECT_EQ(st.readers[1].adr485, 7);
  EXPECT_EQ(st.readers[1].action, kActionForward);
  EXPECT_EQ(st.readers[1].sent, kActionRelay);
  EXPECT_EQ(st.readers[1].pc_wait, 0xFF);
  EXPECT_EQ(st.readers[1].tx_frame[0], 7);
  EXPECT_EQ(st.readers[1].tx_len, 8);
  EXPECT_EQ(st.readers[1].pc_tid, 0x42);
  EXPECT_EQ(st.readers[1].hold_off, 2);
  EXPECT_EQ(st.readers[2].adr485, 9);
  EXPECT_EQ(st.readers[2].last_code, "CC");
  EXPECT_EQ(st.readers[2].armed, 1);
  EXPECT_EQ(st.readers[2].action, kActionBuzzerN);
  EXPECT_EQ(st.readers[3].adr485, 0);
  EXPECT_EQ(st.readers[3].action, kActionNone);
  EXPECT_EQ(st.find_reader(5), 0);  // no longer configured: matches nothing

  // 5 comes back and 9 is listed twice: 5 starts fresh; the entry that
  // answers for 9 (the highest) keeps its state, the other starts fresh.
  slots({5, 7, 9, 9});
  ASSERT_EQ(st.reader_count, 4);
  EXPECT_EQ(st.readers[1].last_code, "");
  EXPECT_EQ(st.readers[1].armed, 0);
  EXPECT_EQ(st.readers[1].action, kActionNone);
  EXPECT_EQ(st.readers[2].action, kActionForward);
  EXPECT_EQ(st.find_reader(9), 4);
  EXPECT_EQ(st.readers[4].last_code, "CC");
  EXPECT_EQ(st.readers[3].armed, 0);
  EXPECT_EQ(st.find_reader(200), 0);
}

}  // namespace
}  // namespace netbuf
