// Inputs the fuzz targets (fuzz/) found to break the logic, kept as tests so
// they stay fixed. Each case names the target that found it. Under the ASan
// and UBSan build a regression aborts the run; the expectations on what is
// loaded hold in every build.
#include <gtest/gtest.h>

#include <memory>

#include "app/startup.h"
#include "fakes.h"
#include "test_db.h"

namespace netbuf {
namespace {

using testing::FakeWorld;
using testing::TempDb;

// fuzz_db_rows: a karty row numbered -2147483648 made the entry index
// (number - 1) overflow a 32-bit int. Only 1 ... 20001 name a card, judged as
// 64-bit numbers (4294967298 is not card 2); every other row is skipped.
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

  const CardEntry& wide = w->st.cards[1];
  EXPECT_EQ(wide.kod, "");
  EXPECT_EQ(wide.typ, 0);
  EXPECT_EQ(w->st.cards[kCardCount - 1].kod, "FF");
  EXPECT_EQ(w->st.card_index().lowest("FF", kCardCount - 1), kCardCount - 1);
  for (const char* skipped : {"AA", "BB", "CC", "DD", "GG", "EE"})
    EXPECT_EQ(w->st.card_index().lowest(skipped, kCardCount - 1), -1) << skipped;
  EXPECT_EQ(w->st.cards[0].kod, "");
  EXPECT_EQ(w->st.cards[0].lcd, "");
}

}  // namespace
}  // namespace netbuf
