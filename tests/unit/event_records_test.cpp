#include "access/event_records.h"

#include <gtest/gtest.h>

#include <vector>

#include "access/card_check.h"
#include "app/storage_feed.h"
#include "tests/unit/world_on_db.h"

namespace netbuf {
namespace {

using Row = std::vector<int64_t>;

class EventRecordsTest : public testing::WorldOnDb {
 protected:
  void SetUp() override {
    WorldOnDb::SetUp();
    w.clock.t = LocalTime{2019, 3, 31, 12, 0, 0, 0, 1};
    reader(2, 3, 1, 0x0C);
  }
  std::vector<Row> events() {
    return rows_of("SELECT * FROM event ORDER BY rowid",
                   {"ID", "typ", "ADR485", "time", "timezone", "typ_kodu", "kod1", "kod2", "kod3",
                    "kod4", "kod5", "status", "code_no", "alarm", "event", "q5"});
  }
  std::vector<Row> stored_counter() {
    return rows_of("SELECT adres, val FROM register WHERE adres IN (804, 805) ORDER BY adres",
                   {"adres", "val"});
  }
  void counter(int32_t hi, int32_t lo) {
    w.st.registers[kRegEventCntHi] = Register{hi, 1};
    w.st.registers[kRegEventCntLo] = Register{lo, 1};
  }
};

TEST_F(EventRecordsTest, CardCheckStoresTheExactRow) {
  w.st.card_count = 10;
  w.st.set_card_kod(4, "1122334455");
  w.st.cards[4].geo_zone = 0b10;
  w.st.cards[4].time_zone = 0b100;
  w.st.zone_mask = 0b101;  // zones 0 and 2
  counter(0, 6);

  check_card(w.ctx, 2, "FF1122334455");
  // Unknown card while zone 31 is active: the mask must not turn negative.
  w.st.zone_mask = 0x80000005u;
  check_card(w.ctx, 2, "FF112233445A");
  // Both go to the file in one commit, after the decisions.
  EXPECT_TRUE(events().empty());
  pump_storage(w.ctx);

  const int64_t t = 1554026400;  // 2019-03-31 10:00 UTC
  EXPECT_EQ(events(), (std::vector<Row>{
                          {7, 80, 3, t, 5, 42, 17, 34, 51, 68, 85, 4, 4, 0, 0, 0},
                          {8, 80, 3, t, 2147483653, 42, 17, 34, 51, 68, 90, 0, 65535, 0, 0, 0},
                      }));
  EXPECT_TRUE(w.op.boxes.empty());
  EXPECT_EQ(w.window.events, 8);
}

TEST_F(EventRecordsTest, CounterGoesToTheFileWithTheRow) {
  db.exec("UPDATE register SET val = 65535 WHERE adres = 805");
  counter(0, 65535);

  ASSERT_TRUE(store_event(w.ctx, 2, 0, kCardNotFound, {1, 2, 3, 4, 5}, 42));
  // The PC sees only what is stored.
  EXPECT_EQ(w.st.event_counter(), 65535);
  pump_storage(w.ctx);
  EXPECT_EQ(events().back()[0], 65536);
  EXPECT_EQ(stored_counter(), (std::vector<Row>{{804, 1}, {805, 0}}));
  // Stored already, so the write-back has nothing left to do for them.
  EXPECT_EQ(w.st.registers[kRegEventCntHi].val, 1);
  EXPECT_EQ(w.st.registers[kRegEventCntLo].val, 0);
  EXPECT_EQ(w.st.registers[kRegEventCntHi].dirty, 0);
  EXPECT_EQ(w.st.registers[kRegEventCntLo].dirty, 0);

  ASSERT_TRUE(store_event(w.ctx, 2, 0, kCardNotFound, {1, 2, 3, 4, 5}, 42));
  pump_storage(w.ctx);
  EXPECT_EQ(events().back()[0], 65537);
  EXPECT_EQ(stored_counter(), (std::vector<Row>{{804, 1}, {805, 1}}));
  EXPECT_FALSE(w.db.in_transaction());
}

TEST_F(EventRecordsTest, RefusedEventsWaitInOrderWithTheirIdsWhileTheDecisionGoesOn) {
  struct Lines : Journal {
    void line(Severity, const std::string& text) override { seen.push_back(text); }
    std::vector<std::string> seen;
  } journal;
  w.st.upkeep.journal = &journal;
  counter(0, 41);
  const int64_t t0 = 1554026400;  // 2019-03-31 10:00 UTC

  // No event table: the event waits, the reader still buzzes, the counter
  // shows what the file holds.
  db.exec("ALTER TABLE event RENAME TO event_away");
  check_card(w.ctx, 2, "FF0000000001");
  pump_storage(w.ctx);
  EXPECT_EQ(w.op.boxes, std::vector<std::string>{"blad zapisu zdarzenia"});
  EXPECT_EQ(w.st.reader(2).action, kActionBuzzerN);
  EXPECT_EQ(w.window.events, 41);

  // The rows go in but their counter cannot be stored: all taken back.
  db.exec("ALTER TABLE event_away RENAME TO event");
  db.exec("ALTER TABLE register RENAME TO reg_away");
  w.clock.t.minute = 1;
  EXPECT_TRUE(store_event(w.ctx, 2, 0, kCardNotFound, {}, 42));
  pump_storage(w.ctx);
  db.exec("ALTER TABLE reg_away RENAME TO register");
  EXPECT_TRUE(events().empty());

  // A database that refuses writes, at the next event and at a tick.
  ASSERT_TRUE(w.db.run("PRAGMA query_only = 1"));
  EXPECT_TRUE(store_event(w.ctx, 2, 0, kCardNotFound, {}, 42));
  pump_storage(w.ctx);
  storage_tick(w.ctx);
  ASSERT_TRUE(w.db.run("PRAGMA query_only = 0"));
  EXPECT_EQ(w.op.boxes.size(), 1u);  // once per outage
  EXPECT_EQ(w.st.registers[kRegEventCntLo].val, 41);
  EXPECT_FALSE(w.db.in_transaction());
  EXPECT_TRUE(journal.seen.empty());

  // Accepted again: the next event goes in behind the waiting ones, each with
  // its own Id and time, and the counter with the last.
  w.clock.t.minute = 2;
  EXPECT_TRUE(store_event(w.ctx, 2, 0, kCardNotFound, {}, 42));
  pump_storage(w.ctx);
  std::vector<Row> id_time;
  for (const Row& r : events()) id_time.push_back({r[0], r[3]});
  EXPECT_EQ(id_time, (std::vector<Row>{{42, t0}, {43, t0 + 60}, {44, t0 + 60}, {45, t0 + 120}}));
  EXPECT_EQ(stored_counter(), (std::vector<Row>{{804, 0}, {805, 45}}));
  EXPECT_EQ(w.st.registers[kRegEventCntLo].val, 45);
  EXPECT_TRUE(w.st.upkeep.waiting_events.empty());
  EXPECT_EQ(journal.seen,
            std::vector<std::string>{"waiting events stored in net.db: 4, still waiting: 0"});

  // A later outage is told again.
  ASSERT_TRUE(w.db.run("PRAGMA query_only = 1"));
  EXPECT_TRUE(store_event(w.ctx, 2, 0, kCardNotFound, {}, 42));
  pump_storage(w.ctx);
  EXPECT_EQ(w.op.boxes.size(), 2u);
  EXPECT_EQ(w.st.upkeep.waiting_events.front().id, 46);
}

TEST(EventTime, SummerRunsFromLastSundayOfMarchToLastSundayOfOctober) {
  struct Switch {
    int year, march, october;
  };
  const Switch known[] = {{2012, 25, 28}, {2013, 31, 27}, {2014, 30, 26}, {2015, 29, 25},
                          {2016, 27, 30}, {2017, 26, 29}, {2018, 25, 28}, {2019, 31, 27},
                          {2020, 29, 25}, {2025, 30, 26}, {2026, 29, 25}, {2100, 28, 31}};
  for (const Switch& s : known) {
    SCOPED_TRACE(s.year);
    EXPECT_FALSE(is_summer(s.year, 3, s.march - 1));
    EXPECT_TRUE(is_summer(s.year, 3, s.march));
    EXPECT_TRUE(is_summer(s.year, 10, s.october - 1));
    EXPECT_FALSE(is_summer(s.year, 10, s.october));
    EXPECT_TRUE(is_summer(s.year, 4, 1));
    EXPECT_TRUE(is_summer(s.year, 9, 30));
    EXPECT_FALSE(is_summer(s.year, 2, 28));
    EXPECT_FALSE(is_summer(s.year, 11, 1));
  }

  // Unix times from `date -u`; the whole switch day counts as its new season.
  auto at_noon = [](int y, int m, int d) { return event_time(LocalTime{y, m, d, 12, 0, 0, 0}); };
  EXPECT_EQ(at_noon(2019, 3, 30), 1553943600);  // 11:00 UTC
  EXPECT_EQ(at_noon(2019, 3, 31), 1554026400);  // 10:00 UTC
  EXPECT_EQ(at_noon(2019, 10, 26), 1572084000);
  EXPECT_EQ(at_noon(2019, 10, 27), 1572174000);
  EXPECT_EQ(at_noon(2025, 3, 29), 1743246000);
  EXPECT_EQ(at_noon(2025, 3, 30), 1743328800);
  EXPECT_EQ(at_noon(2026, 3, 28), 1774695600);
  EXPECT_EQ(at_noon(2026, 3, 29), 1774778400);
  EXPECT_EQ(at_noon(2026, 10, 24), 1792836000);
  EXPECT_EQ(at_noon(2026, 10, 25), 1792926000);
}

TEST(EventTime, RoundsMillisecondsHalfToEven) {
  // 2020-02-29 23:59:58 local (winter) is 1583020798 - 3600.
  const int64_t even = 1583020798 - 3600;
  auto at = [](int s, int ms) { return event_time(LocalTime{2020, 2, 29, 23, 59, s, ms}); };
  EXPECT_EQ(at(58, 499), even);
  EXPECT_EQ(at(58, 500), even);
  EXPECT_EQ(at(58, 501), even + 1);
  EXPECT_EQ(at(59, 500), even + 2);
  EXPECT_EQ(at(59, 999), even + 2);  // into March 1
}

}  // namespace
}  // namespace netbuf
