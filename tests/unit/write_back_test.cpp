#include "app/write_back.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "fakes.h"
#include "test_db.h"

namespace netbuf {
namespace {

using testing::FakeWorld;
using testing::TempDb;

struct WriteBack : ::testing::Test {
  TempDb tdb;
  std::unique_ptr<FakeWorld> w = std::make_unique<FakeWorld>();
  void SetUp() override {
    tdb.create(9000, 200);
    w->db.open(tdb.path());
  }
  int64_t reg_in_db(int a) {
    return tdb.scalar("SELECT val FROM register WHERE adres=" + std::to_string(a));
  }
};

TEST_F(WriteBack, StoresEveryDirtyRegisterInOneTick) {
  w->st.set_reg(805, 12);
  w->st.set_reg(804, 0);
  for (int a = 5000; a < 5100; ++a) w->st.set_reg(a, a);
  on_write_back_tick(w->ctx);
  EXPECT_EQ(reg_in_db(805), 12);
  EXPECT_EQ(reg_in_db(5099), 5099);
  EXPECT_EQ(w->st.registers[805].dirty, 0);
  EXPECT_TRUE(w->op.boxes.empty());
}

TEST_F(WriteBack, EveryDirtyCardInOneTickWithGaugeAndCardCount) {
  w->st.registers[kRegCardCount].val = 100;
  for (int k : {2, 3, 10, 11, 12, 150}) {
    w->st.set_card_kod(k, "00A1B2C3D" + std::to_string(k % 10));
    w->st.cards[k].typ = 1;
    w->st.cards[k].time_zone = 3;
    w->st.cards[k].geo_zone = 1;
    w->st.cards[k].dirty = 1;
  }
  on_write_back_tick(w->ctx);
  EXPECT_EQ(w->window.progress, 12);
  for (int k : {2, 3, 10, 11, 12}) EXPECT_EQ(w->st.cards[k].dirty, 0) << k;
  EXPECT_EQ(tdb.text("SELECT kod FROM karty WHERE numer=11"), "00A1B2C3D0");
  EXPECT_EQ(tdb.text("SELECT lcd FROM karty WHERE numer=11"), "---");  // empty lcd stored as ---
  EXPECT_EQ(w->st.cards[10].lcd, "");
  EXPECT_EQ(tdb.scalar("SELECT time_zone FROM karty WHERE numer=13"), 3);
  EXPECT_EQ(w->st.cards[150].dirty, 1);  // beyond the card count: waits
  on_write_back_tick(w->ctx);
  EXPECT_EQ(w->window.progress, 0);
  w->st.registers[kRegCardCount].val = 150;
  on_write_back_tick(w->ctx);
  EXPECT_EQ(w->st.cards[150].dirty, 0);
  EXPECT_EQ(w->window.progress, 100);
}

TEST_F(WriteBack, QuoteInACardTextCannotBreakTheStatement) {
  w->st.registers[kRegCardCount].val = 10;
  w->st.set_card_kod(4, "AB\"CD");
  w->st.cards[4].lcd = "x\" , typ = 9 where 1=1; --";
  w->st.cards[4].dirty = 1;
  on_write_back_tick(w->ctx);
  EXPECT_TRUE(w->op.boxes.empty());
  EXPECT_EQ(tdb.text("SELECT kod FROM karty WHERE numer=5"), "AB\"CD");
  EXPECT_EQ(tdb.scalar("SELECT count(*) FROM karty WHERE typ=9"), 0);
}

TEST_F(WriteBack, FailedWriteKeepsTheChangeForALaterTick) {
  w->st.set_reg(10, 7);
  w->st.set_reg(11, 8);
  w->st.registers[kRegCardCount].val = 10;
  w->st.cards[1].dirty = 1;
  {
    // Another process holds the database.
    Database other;
    other.open(tdb.path());
    testing::must_run(other, "BEGIN EXCLUSIVE");
    on_write_back_tick(w->ctx);
    EXPECT_EQ(w->st.registers[10].dirty, 1);
    EXPECT_EQ(w->st.registers[11].dirty, 1);
    EXPECT_EQ(w->st.cards[1].dirty, 1);
    ASSERT_EQ(w->op.boxes.size(), 1u);
    EXPECT_EQ(w->op.boxes[0], "blad zapisu pod adres 10 wartosci7 w tabeli register");
    testing::must_run(other, "ROLLBACK");
  }
  on_write_back_tick(w->ctx);
  EXPECT_EQ(reg_in_db(10), 7);
  EXPECT_EQ(reg_in_db(11), 8);
  EXPECT_EQ(w->st.registers[11].dirty, 0);
  EXPECT_EQ(w->st.cards[1].dirty, 0);
}

TEST_F(WriteBack, RefusedCommitIsReportedOnceAndKeepsTheChanges) {
  w->st.set_reg(20, 5);
  w->st.set_reg(21, 6);
  {
    // A reader's lock lets the updates through but not the commit.
    Database other;
    other.open(tdb.path());
    testing::must_run(other, "BEGIN");
    testing::integer_rows(other, "SELECT count(*) AS n FROM register", {"n"});
    on_write_back_tick(w->ctx);
    EXPECT_EQ(w->st.registers[20].dirty, 1);
    EXPECT_EQ(w->st.registers[21].dirty, 1);
    EXPECT_EQ(w->op.boxes,
              std::vector<std::string>{"blad zapisu pod adres 20 wartosci5 w tabeli register"});
    testing::must_run(other, "ROLLBACK");
  }
  on_write_back_tick(w->ctx);
  EXPECT_EQ(reg_in_db(21), 6);
  EXPECT_EQ(w->op.boxes.size(), 1u);
}

TEST_F(WriteBack, ZoneMaskHoldOffAndCleanStop) {
  // Sunday 08:30: zone 0 from 08:00 to 17:00 is active, zone 1 (start = end) never.
  w->st.registers[1700].val = 480;
  w->st.registers[1701].val = 1020;
  w->st.registers[1714].val = 600;
  w->st.registers[1715].val = 600;
  w->st.registers[1700 + 14 * 31 + 2].val = 0;  // zone 31 on Monday: all day
  w->st.registers[1700 + 14 * 31 + 3].val = 1440;
  w->clock.t.day_of_week = 1;
  w->clock.t.hour = 8;
  w->clock.t.minute = 30;
  w->st.readers[32].hold_off = 1;
  w->st.readers[5].hold_off = 3;
  on_write_back_tick(w->ctx);
  EXPECT_EQ(w->st.zone_mask, 1u);
  EXPECT_EQ(w->st.readers[32].hold_off, 0);
  EXPECT_EQ(w->st.readers[5].hold_off, 2);
  w->clock.t.hour = 17;
  w->clock.t.minute = 0;
  compute_zone_mask(w->ctx);
  EXPECT_EQ(w->st.zone_mask, 0u);
  w->clock.t.day_of_week = 2;
  compute_zone_mask(w->ctx);
  EXPECT_EQ(w->st.zone_mask, 0x80000000u);

  // A clean stop stores everything, cards beyond the three-a-tick pace too.
  w->st.registers[kRegCardCount].val = 199;
  for (int k = 0; k < 199; ++k) {
    w->st.cards[k].typ = k;
    w->st.cards[k].dirty = 1;
  }
  w->st.set_reg(3000, 99);
  store_everything(w->ctx);
  EXPECT_EQ(tdb.scalar("SELECT typ FROM karty WHERE numer=199"), 198);
  EXPECT_EQ(reg_in_db(3000), 99);
}

}  // namespace
}  // namespace netbuf
