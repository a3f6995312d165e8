// The loop's side of the storage path, with a path that holds each batch
// until the test lets it go: what goes into one transaction, what a refusal
// puts back, and what a PC write to the counter does to events on their way.
#include "app/storage_feed.h"

#include <gtest/gtest.h>

#include <vector>

#include "access/event_records.h"
#include "app/upkeep_tick.h"
#include "store/batch_commit.h"
#include "tests/unit/fakes.h"
#include "tests/unit/test_db.h"

namespace netbuf {
namespace {

class HeldStorage : public StoragePath {
 public:
  explicit HeldStorage(Database& db) : db_(db) {}
  void submit(StorageBatch b) override { held_.push_back(std::move(b)); }
  std::optional<StorageResult> take_result() override {
    std::optional<StorageResult> r;
    r.swap(result_);
    return r;
  }
  StorageResult wait_result() override {
    release();
    return *take_result();
  }
  // Stores the batch out; the loop takes the result at its next pump.
  void release() { result_ = commit_batch(db_, held_.back()); }
  std::vector<StorageBatch> held_;

 private:
  Database& db_;
  std::optional<StorageResult> result_;
};

struct StorageFeed : ::testing::Test {
  testing::TempDb tdb;
  testing::FakeWorld w;
  HeldStorage held{w.db};
  Context ctx{w.st,    w.log,    w.window, w.window,  w.window, w.op,
              w.clock, w.serial, w.pc,     w.service, w.db,     held};

  void SetUp() override {
    tdb.create(9000, 20);
    w.db.open(tdb.path());
    w.st.reader(1).adr485 = 5;
  }
  void decide() { ASSERT_TRUE(store_event(ctx, 1, 0, kCardNotFound, {1, 2, 3, 4, 5}, 42)); }
  // Ids in the file, in the order stored.
  std::vector<int64_t> ids() {
    std::vector<int64_t> out;
    const int64_t n = tdb.scalar("SELECT count(*) FROM event");
    for (int64_t i = 1; i <= n; ++i)
      out.push_back(tdb.scalar("SELECT ID FROM event WHERE rowid=" + std::to_string(i)));
    return out;
  }
  int64_t reg_in_db(int a) {
    return tdb.scalar("SELECT val FROM register WHERE adres=" + std::to_string(a));
  }
};

TEST_F(StorageFeed, WhatWaitsWhileABatchIsOutGoesInOneTransaction) {
  decide();
  pump_storage(ctx);
  ASSERT_EQ(held.held_.size(), 1u);
  // Meanwhile: two more decisions, a moved read pointer, the tick's registers
  // and a card.
  decide();
  decide();
  w.st.set_reg(kRegReadPtrLo, 2);
  w.st.set_reg(3000, 77);
  w.st.registers[kRegCardCount].val = 10;
  w.st.cards[4].dirty = 1;
  storage_tick(ctx);
  EXPECT_EQ(held.held_.size(), 1u);    // nothing handed over while one is out
  EXPECT_EQ(w.st.event_counter(), 0);  // the PC sees only what is stored

  held.release();
  pump_storage(ctx);
  ASSERT_EQ(held.held_.size(), 2u);
  const StorageBatch& b = held.held_[1];
  ASSERT_EQ(b.events.size(), 2u);
  EXPECT_EQ(b.events[0].id, 2);
  EXPECT_EQ(b.events[1].id, 3);
  std::vector<int> regs;
  for (const RegisterRow& r : b.registers) regs.push_back(r.adres);
  EXPECT_EQ(regs, (std::vector<int>{801, 3000, 804, 805}));
  ASSERT_EQ(b.cards.size(), 1u);
  EXPECT_EQ(b.cards[0].lcd, "---");

  held.release();
  pump_storage(ctx);
  EXPECT_EQ(ids(), (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(reg_in_db(805), 3);
  EXPECT_EQ(reg_in_db(801), 2);
  EXPECT_EQ(reg_in_db(3000), 77);
  EXPECT_EQ(w.st.event_counter(), 3);
  EXPECT_EQ(w.window.events, 3);
  EXPECT_EQ(items_waiting(ctx), 0u);
}

TEST_F(StorageFeed, ARefusedBatchIsPutBackAndWaitsForANewEventOrTheTick) {
  w.st.set_reg(3000, 5);
  w.st.registers[kRegCardCount].val = 10;
  w.st.cards[2].dirty = 1;
  decide();
  {
    Database other;
    other.open(tdb.path());
    testing::must_run(other, "BEGIN EXCLUSIVE");
    storage_tick(ctx);
    held.release();
    pump_storage(ctx);
    testing::must_run(other, "ROLLBACK");
  }
  EXPECT_EQ(w.st.registers[3000].dirty, 1);
  EXPECT_EQ(w.st.cards[2].dirty, 1);
  EXPECT_EQ(w.st.upkeep.waiting_events.size(), 1u);
  EXPECT_EQ(w.op.boxes, (std::vector<std::string>{"blad zapisu zdarzenia",
                                                  "blad zapisu pod adres 3000 wartosci5 w tabeli "
                                                  "register"}));
  // Held: a moved pointer alone does not hammer a refusing file.
  w.st.set_reg(kRegReadPtrLo, 9);
  pump_storage(ctx);
  EXPECT_EQ(held.held_.size(), 1u);
  // A new event tries again, and takes everything with it except the tick's
  // share, which waits for the tick.
  decide();
  pump_storage(ctx);
  ASSERT_EQ(held.held_.size(), 2u);
  EXPECT_EQ(held.held_[1].events.size(), 2u);
  held.release();
  pump_storage(ctx);
  EXPECT_EQ(ids(), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(reg_in_db(801), 9);
  EXPECT_EQ(reg_in_db(3000), 0);
  storage_tick(ctx);
  held.release();
  pump_storage(ctx);
  EXPECT_EQ(reg_in_db(3000), 5);
  EXPECT_EQ(tdb.text("SELECT lcd FROM karty WHERE numer=3"), "---");
  EXPECT_EQ(w.op.boxes.size(), 2u);
}

// A report reading when netbuf first writes keeps the file out of WAL mode
// (and, in rollback mode, the commit out); the status says both until a
// later tick gets the file in.
TEST_F(StorageFeed, TheStatusSaysWhenTheFileIsNotInWal) {
  decide();
  {
    Database report;
    report.open(tdb.path());
    testing::must_run(report, "BEGIN");
    testing::integer_rows(report, "SELECT count(*) AS n FROM event", {"n"});
    pump_storage(ctx);
    held.release();
    pump_storage(ctx);
    EXPECT_NE(status_text(ctx).find(" \u00b7 db refusing writes \u00b7 db not in WAL \u00b7 "),
              std::string::npos)
        << status_text(ctx);
    testing::must_run(report, "ROLLBACK");
  }
  storage_tick(ctx);
  held.release();
  pump_storage(ctx);
  EXPECT_NE(status_text(ctx).find(" \u00b7 db ok \u00b7 0 events waiting"), std::string::npos)
      << status_text(ctx);
  EXPECT_EQ(tdb.text("SELECT * FROM pragma_journal_mode"), "wal");
  EXPECT_EQ(ids(), (std::vector<int64_t>{1}));
}

// The PC writes counter 1000 and pointer 1001 while three events are not
// stored yet: they become 1001..1003, each reaches the PC once, and the
// pointer stays the PC's. Whether they wait in memory or are already on
// their way to the file makes no difference.
TEST_F(StorageFeed, APcWriteToTheCounterNumbersTheWaitingEventsAfterIt) {
  for (const bool out : {false, true}) {
    SCOPED_TRACE(out ? "on their way" : "waiting");
    tdb.exec("DELETE FROM event");
    w.st.registers[kRegEventCntHi] = Register{0, 0};
    w.st.registers[kRegEventCntLo] = Register{10, 0};
    held.held_.clear();
    for (int i = 0; i < 3; ++i) decide();
    if (out) pump_storage(ctx);
    // As function 16 does it.
    w.st.set_reg(kRegEventCntLo, 1000);
    w.st.set_reg(kRegReadPtrLo, 1001);
    renumber_waiting_events(w.st);
    if (out) {
      held.release();
      pump_storage(ctx);
    }
    pump_storage(ctx);
    held.release();
    pump_storage(ctx);
    std::vector<int64_t> want = {1001, 1002, 1003};
    if (out) want.insert(want.begin(), {11, 12, 13});  // stored before the write: never read
    EXPECT_EQ(ids(), want);
    EXPECT_EQ(w.st.event_counter(), 1003);
    EXPECT_EQ(w.st.event_read_pointer(), 1001);
    EXPECT_EQ(reg_in_db(805), 1003);
    EXPECT_EQ(reg_in_db(801), 1001);
    EXPECT_TRUE(w.st.upkeep.waiting_events.empty());
  }
}

// A PC reading back to back moves the pointer with every answer: commits that
// carry nothing else come at most every 10 ms, and the one that waits is
// named for the host's wake-up.
TEST_F(StorageFeed, PointerOnlyCommitsAreSpaced) {
  w.clock.mono = 1000;
  w.st.set_reg(kRegReadPtrLo, 2);
  pump_storage(ctx);
  held.release();
  w.clock.mono = 1004;
  w.st.set_reg(kRegReadPtrLo, 3);
  pump_storage(ctx);
  EXPECT_EQ(held.held_.size(), 1u);
  EXPECT_EQ(w.st.upkeep.pointer_due_ms, 1010);
  // An event does not wait, and takes the pointer with it.
  decide();
  pump_storage(ctx);
  ASSERT_EQ(held.held_.size(), 2u);
  EXPECT_EQ(held.held_[1].registers.front().val, 3);
  held.release();
  w.clock.mono = 1010;
  w.st.set_reg(kRegReadPtrLo, 4);
  pump_storage(ctx);
  EXPECT_EQ(held.held_.size(), 2u);  // 6 ms after the last batch
  w.clock.mono = 1014;
  pump_storage(ctx);
  ASSERT_EQ(held.held_.size(), 3u);
  EXPECT_EQ(w.st.upkeep.pointer_due_ms, -1);
}

}  // namespace
}  // namespace netbuf
