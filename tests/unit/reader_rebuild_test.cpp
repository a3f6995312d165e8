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
  st.readers[4].adr485 = 77;  // beyond the new count: left alone

  rebuild_readers(w->ctx);

  ASSERT_EQ(st.reader_count, 3);
  EXPECT_EQ(st.readers[1].adr485, 5);
  EXPECT_EQ(st.readers[1].geo_zone, 1);
  EXPECT_EQ(st.readers[1].flags, 0x0C);
  EXPECT_EQ(st.readers[1].flags_low, 7);
  EXPECT_EQ(st.readers[1].cfg_word3, 1234);
  EXPECT_EQ(st.readers[1].cfg_word4, 4321);
  EXPECT_EQ(st.readers[1].action, 0);
  EXPECT_EQ(st.readers[1].armed, 0);
  EXPECT_EQ(st.readers[1].pc_wait, 0);
  EXPECT_EQ(st.readers[1].hold_off, 0);
  EXPECT_EQ(st.readers[1].last_code, "0011223344AA");  // kept across a rebuild
  EXPECT_EQ(st.readers[2].adr485, 7);
  EXPECT_EQ(st.readers[2].geo_zone, 2);
  EXPECT_EQ(st.readers[3].adr485, 0);
  EXPECT_EQ(st.readers[3].geo_zone, 5);
  EXPECT_EQ(st.readers[4].adr485, 77);
  EXPECT_EQ(st.card_count, 42);

  EXPECT_EQ(w->form.labels[5], "0012-3456-789A");
  EXPECT_EQ(w->form.labels[6], "42");
  EXPECT_EQ(w->form.labels[4], "3");
  EXPECT_EQ(w->form.labels[8], "COM 3");
  EXPECT_EQ(w->form.labels[13], "9");
  EXPECT_EQ(w->form.labels[14], "65538");
}

TEST(ReaderRebuild, BuzzerBoxesAreOnlyEverTicked) {
  auto w = std::make_unique<FakeWorld>();
  w->st.n_card = 0x8001;
  w->st.s_card = 0x4000;
  rebuild_readers(w->ctx);
  EXPECT_TRUE(w->form.check(1));
  EXPECT_TRUE(w->form.check(16));
  EXPECT_FALSE(w->form.check(2));
  EXPECT_TRUE(w->form.check(18));
  EXPECT_FALSE(w->form.check(17));

  w->st.n_card = 0;
  rebuild_readers(w->ctx);
  EXPECT_TRUE(w->form.check(1));
  EXPECT_TRUE(w->form.check(16));
}

TEST(ReaderRebuild, FindReaderTakesHighestEntryOr32) {
  auto w = std::make_unique<FakeWorld>();
  w->st.readers[3].adr485 = 9;
  w->st.readers[7].adr485 = 9;
  EXPECT_EQ(w->st.find_reader(9), 7);
  EXPECT_EQ(w->st.find_reader(200), 32);
}

}  // namespace
}  // namespace netbuf
