#include "access/card_check.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "app/storage_feed.h"
#include "tests/unit/world_on_db.h"

namespace netbuf {
namespace {

using Row = std::vector<int64_t>;

class CardCheckTest : public testing::WorldOnDb {
 protected:
  void SetUp() override {
    WorldOnDb::SetUp();
    w.clock.t = LocalTime{2024, 5, 6, 8, 30, 0, 0, 2};
    w.st.card_count = 100;
    w.st.zone_mask = 0b1;
  }
  void card(int k, const std::string& kod, int32_t time_zone, int32_t geo_zone) {
    w.st.set_card_kod(k, kod);
    w.st.cards[k].time_zone = time_zone;
    w.st.cards[k].geo_zone = geo_zone;
  }
  // Runs one check and returns the readers that got a command (entry -> action).
  std::map<int, int> decide(int entry, const std::string& code) {
    for (int e = 1; e <= kReaderCount; ++e) w.st.reader(e).action = kActionNone;
    check_card(w.ctx, entry, code);
    std::map<int, int> got;
    for (int e = 1; e <= kReaderCount; ++e)
      if (w.st.reader(e).action != kActionNone) got[e] = w.st.reader(e).action;
    return got;
  }
  // ADR485, kod1..kod5, status and code_no of the last event row.
  Row last_event() {
    pump_storage(w.ctx);
    const auto rows = rows_of(
        "SELECT ADR485, kod1, kod2, kod3, kod4, kod5, status, code_no FROM event "
        "ORDER BY rowid DESC LIMIT 1",
        {"ADR485", "kod1", "kod2", "kod3", "kod4", "kod5", "status", "code_no"});
    Row r = rows.empty() ? Row{} : rows.front();
    return r;
  }
  int64_t last_status() { return last_event().at(6); }
};

TEST_F(CardCheckTest, DecisionTable) {
  reader(1, 11, 2, 0x04);  // own relay on one bit
  reader(2, 12, 2, 0x0C);  // partner
  reader(3, 13, 2, 0x00);  // no relay
  reader(4, 14, 2, 0x04);  // one bit: not a partner
  reader(5, 15, 2, 0x0C);  // partner, the last one
  reader(6, 16, 3, 0x0C);  // other zone
  reader(7, 17, 1, 0x00);
  reader(8, 18, 5, 0x00);  // alone in its zone
  w.st.reader_count = 8;
  card(4, "1122334455", 0b1, (1 << 2) | (1 << 5));
  const std::string code = "001122334455";

  EXPECT_EQ(decide(1, "00AABBCCDDEE"), (std::map<int, int>{{1, kActionBuzzerN}}));
  EXPECT_EQ(last_event(), (Row{11, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0, 65535}));

  EXPECT_EQ(decide(1, code), (std::map<int, int>{{1, kActionRelay}}));
  EXPECT_EQ(last_event(), (Row{11, 0x11, 0x22, 0x33, 0x44, 0x55, 4, 4}));

  EXPECT_EQ(decide(3, code), (std::map<int, int>{{5, kActionRelay}}));
  EXPECT_EQ(last_status(), 4);
  // A partner beyond the configured list is a left-over, not a reader.
  w.st.reader_count = 4;
  EXPECT_EQ(decide(3, code), (std::map<int, int>{{2, kActionRelay}}));
  w.st.reader_count = 8;

  EXPECT_EQ(decide(8, code), (std::map<int, int>{}));
  EXPECT_EQ(last_event(), (Row{18, 0x11, 0x22, 0x33, 0x44, 0x55, 4, 4}));

  EXPECT_EQ(decide(7, code), (std::map<int, int>{{7, kActionBuzzerS}}));
  EXPECT_EQ(last_status(), 7);

  w.st.zone_mask = 0b10;
  EXPECT_EQ(decide(1, code), (std::map<int, int>{{1, kActionBuzzerS}}));
  EXPECT_EQ(last_status(), 6);
  // Outside both: the geo zone is reported.
  EXPECT_EQ(decide(7, code), (std::map<int, int>{{7, kActionBuzzerS}}));
  EXPECT_EQ(last_status(), 7);

  // Codes compare case-sensitively.
  card(9, "aabbccddee", 0b1, 0b100);
  EXPECT_EQ(decide(1, "00AABBCCDDEE"), (std::map<int, int>{{1, kActionBuzzerN}}));

  // Whatever was pending at the reader is overwritten.
  w.st.reader(1).action = kActionForward;
  check_card(w.ctx, 1, "00AABBCCDDEE");
  EXPECT_EQ(w.st.reader(1).action, kActionBuzzerN);
}

TEST_F(CardCheckTest, MonitorLinesLabelsAndTestButton) {
  reader(1, 7, 0, 0x04);
  card(3, "0591826441", 0b1, 0b1);
  w.st.card_count = 5;
  w.st.registers[kRegReadPtrHi].val = 1;
  w.st.registers[kRegReadPtrLo].val = 2;
  w.log.all(false);
  w.log.on[static_cast<int>(LogCategory::Events)] = true;

  // The test button: the first two characters and the thirteenth are ignored.
  check_card(w.ctx, 1, "7305918264410");
  EXPECT_EQ(w.log.lines, (std::vector<std::string>{
                             "kod karty:0591826441",
                             "ilosc kart:5",
                             "id karty: 3",
                             "karta przy czytniku o adresie: 7",
                             "Karta ważna, przekaznik w tym czytniku: 7",
                         }));
  EXPECT_EQ(last_event(), (Row{7, 0x05, 0x91, 0x82, 0x64, 0x41, 4, 3}));
  EXPECT_EQ(w.window.events, 1);
  EXPECT_EQ(w.window.read_pointer, 65538);

  auto last_line = [&](int entry, const std::string& code) {
    w.log.lines.clear();
    check_card(w.ctx, entry, code);
    return w.log.lines.size() == 5 ? w.log.lines[4] : "<" + std::to_string(w.log.lines.size());
  };
  reader(1, 7, 0, 0);
  reader(2, 8, 0, 0x0C);
  w.st.reader_count = 2;
  EXPECT_EQ(last_line(1, "730591826441"), "Karta ważna, przekaznik w innym czytniku:");
  EXPECT_EQ(last_line(1, "730000000000"), "Karta nieznana");
  w.st.zone_mask = 0;
  EXPECT_EQ(last_line(1, "730591826441"), "Karta poza strefą czasową");
  reader(1, 7, 1, 0);
  EXPECT_EQ(last_line(1, "730591826441"), "Karta poza strefą geograficzną");

  // Without the "Zdarzenia" switch a check writes nothing at all.
  w.log.all(true);
  w.log.on[static_cast<int>(LogCategory::Events)] = false;
  w.log.lines.clear();
  w.st.reader(1).action = kActionNone;  // the relay of the first card was acknowledged
  check_card(w.ctx, 1, "730591826441");
  EXPECT_TRUE(w.log.lines.empty());
  EXPECT_EQ(w.st.reader(1).action, kActionBuzzerS);
}

TEST_F(CardCheckTest, HexAndShortCodeTexts) {
  reader(1, 7, 0, 0x04);
  EXPECT_EQ(hex_byte("fF"), 255);
  EXPECT_EQ(hex_byte("0G"), 0);   // "0" and non-hex characters are 0
  EXPECT_EQ(hex_byte("7"), 112);  // a missing character is 0
  EXPECT_EQ(hex_byte(""), 0);

  // Only the characters that are there are read.
  check_card(w.ctx, 1, "AB1");
  EXPECT_EQ(last_event(), (Row{7, 0x10, 0, 0, 0, 0, 0, 65535}));
  card(2, "123", 0b1, 0b1);
  check_card(w.ctx, 1, "AB123");
  EXPECT_EQ(last_event(), (Row{7, 0x12, 0x30, 0, 0, 0, 4, 2}));
  for (const char* code : {"", "A", "AB", "AB12345678901"}) check_card(w.ctx, 1, code);
  EXPECT_EQ(last_event(), (Row{7, 0x12, 0x34, 0x56, 0x78, 0x90, 0, 65535}));
  // An entry number outside the reader table is not checked at all.
  check_card(w.ctx, 0, "AB0000000000");
  check_card(w.ctx, 33, "AB0000000000");
  EXPECT_EQ(last_event(), (Row{7, 0x12, 0x34, 0x56, 0x78, 0x90, 0, 65535}));
}

TEST_F(CardCheckTest, GeoZoneBits) {
  card(1, "X", 0, 0);
  auto geo = [&](int reader_zone, uint32_t card_mask) {
    reader(4, 1, reader_zone, 0);
    w.st.cards[1].geo_zone = static_cast<int32_t>(card_mask);
    return in_geo_zone(w.ctx, 1, 4);
  };
  EXPECT_TRUE(geo(0, 0b1));
  EXPECT_FALSE(geo(0, 0b10));
  EXPECT_TRUE(geo(-3, 0b1));
  EXPECT_TRUE(geo(31, 0x80000000u));
  EXPECT_FALSE(geo(31, 0x7FFFFFFFu));
  EXPECT_FALSE(geo(32, 0xFFFFFFFFu));
  EXPECT_FALSE(geo(1000, 0xFFFFFFFFu));
}

TEST_F(CardCheckTest, FindCardBoundsAndDuplicates) {
  card(7, "AAAAAAAAAA", 0, 0);
  card(12, "AAAAAAAAAA", 0, 0);
  w.log.all(false);
  w.log.on[static_cast<int>(LogCategory::Events)] = true;

  EXPECT_EQ(find_card(w.ctx, "AAAAAAAAAA"), 7);
  EXPECT_EQ(w.log.lines, std::vector<std::string>{"ilosc kart:100"});
  // Changing the lower code uncovers the higher one, and back.
  w.st.set_card_kod(7, "BBBBBBBBBB");
  EXPECT_EQ(find_card(w.ctx, "AAAAAAAAAA"), 12);
  w.st.set_card_kod(7, "AAAAAAAAAA");
  EXPECT_EQ(find_card(w.ctx, "AAAAAAAAAA"), 7);
  EXPECT_EQ(find_card(w.ctx, "BBBBBBBBBB"), kCardNotFound);

  w.st.card_count = -1;
  w.log.lines.clear();
  EXPECT_EQ(find_card(w.ctx, "AAAAAAAAAA"), kCardNotFound);
  EXPECT_EQ(w.log.lines, std::vector<std::string>{"ilosc kart:-1"});
  // A count beyond the table searches the whole table and no further.
  card(20000, "DDDDDDDDDD", 0, 0);
  w.st.card_count = 70000;
  EXPECT_EQ(find_card(w.ctx, "DDDDDDDDDD"), 20000);
  EXPECT_EQ(find_card(w.ctx, "EEEEEEEEEE"), kCardNotFound);
}

// The index must give what a scan of the table gives, however the codes moved.
TEST_F(CardCheckTest, FindCardAgreesWithAScanAfterManyChanges) {
  w.log.all(false);
  const std::string codes[] = {"", "0000000001", "0000000002", "000000000a", "000000000A"};
  std::mt19937 rng(20240506);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int round = 0; round < 300; ++round) {
    for (int j = 0; j < 20; ++j) w.st.set_card_kod(pick(60), codes[pick(5)]);
    w.st.card_count = pick(70) - 5;
    for (const std::string& c : codes) {
      int scan = kCardNotFound;
      for (int i = 0; i <= w.st.card_count && scan == kCardNotFound; ++i)
        if (w.st.cards[i].kod == c) scan = i;
      ASSERT_EQ(find_card(w.ctx, c), scan) << "round " << round << " code '" << c << "'";
    }
  }
}

// Unused entries (empty code) are looked up like any code, also when the first
// of them lies far into the table and moves as entries are coded and cleared.
TEST_F(CardCheckTest, EmptyCodeIsTheLowestUnusedEntry) {
  w.log.all(false);
  w.st.card_count = kCardCount - 1;
  for (int k = 0; k < 200; ++k) w.st.set_card_kod(k, "00000000" + hex2(k & 0xFF));
  EXPECT_EQ(find_card(w.ctx, ""), 200);
  w.st.set_card_kod(130, "");
  w.st.set_card_kod(64, "");
  EXPECT_EQ(find_card(w.ctx, ""), 64);
  w.st.set_card_kod(64, "ABCDEF0123");
  EXPECT_EQ(find_card(w.ctx, ""), 130);
  w.st.card_count = 129;
  EXPECT_EQ(find_card(w.ctx, ""), kCardNotFound);
  for (int k = 0; k < kCardCount; ++k) w.st.set_card_kod(k, "ABCDEF0123");
  w.st.card_count = kCardCount - 1;
  EXPECT_EQ(find_card(w.ctx, ""), kCardNotFound);
  w.st.set_card_kod(kCardCount - 1, "");
  EXPECT_EQ(find_card(w.ctx, ""), kCardCount - 1);
  EXPECT_EQ(find_card(w.ctx, "ABCDEF0123"), 0);
}

}  // namespace
}  // namespace netbuf
