// Inputs the fuzz targets (fuzz/) found to break the logic, kept as tests so
// they stay fixed. Each case names the target that found it. Under the ASan
// and UBSan build a regression aborts the run; the expectations on what is
// loaded hold in every build.
#include <gtest/gtest.h>

#include <memory>

#include "fakes.h"
#include "store/startup.h"
#include "test_db.h"

namespace netbuf {
namespace {

using testing::FakeWorld;
using testing::TempDb;

// fuzz_db_rows: a karty row numbered -2147483648 made the entry index
// (number - 1) overflow a 32-bit int. Numbers keep their low 32 bits; only
// 1 ... 20001 name a card, every other row is skipped.
TEST(FuzzRegression, StartUpCardNumbersAtThe32BitEdges) {
  TempDb db;
  db.create(0, 0);
  db.exec(
      "INSERT INTO karty VALUES "
      "(-2147483648, 1, 'AA', 'min', 1, 1), (2147483647, 1, 'BB', 'max', 1, 1), "
      "(0, 1, 'CC', 'zero', 1, 1), (20002, 1, 'DD', 'past', 1, 1), "
      "(-1, 1, 'GG', 'minus', 1, 1), "
      "(4294967298, 7, 'EE', 'wide', 3, 4), (20001, 2, 'FF', 'last', 5, 6)");
  auto w = std::make_unique<FakeWorld>();
  start_up(w->ctx, db.path());

  // 4294967298 keeps its low 32 bits: number 2, entry 1.
  const Tcard& wide = w->st.cards[1];
  EXPECT_EQ(wide.kod, "EE");
  EXPECT_EQ(wide.lcd, "wide");
  EXPECT_EQ(wide.typ, 7);
  EXPECT_EQ(wide.time_zone, 3);
  EXPECT_EQ(wide.geo_zone, 4);
  EXPECT_EQ(w->st.cards[kCardCount - 1].kod, "FF");
  EXPECT_EQ(w->st.card_index().lowest("EE", kCardCount - 1), 1);
  EXPECT_EQ(w->st.card_index().lowest("FF", kCardCount - 1), kCardCount - 1);
  for (const char* skipped : {"AA", "BB", "CC", "DD", "GG"})
    EXPECT_EQ(w->st.card_index().lowest(skipped, kCardCount - 1), -1) << skipped;
  EXPECT_EQ(w->st.cards[0].kod, "");
  EXPECT_EQ(w->st.cards[0].lcd, "");
}

}  // namespace
}  // namespace netbuf
