#include "core/rate_limit.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/unit/addresses.h"

namespace netbuf {
namespace {

using testing::v4;

TEST(RateLimit, BucketLetsABurstThroughThenTheRate) {
  // 10 a second, 3 at once. Each step: the time, then whether an event then passes.
  const std::vector<std::pair<int64_t, bool>> steps = {
      {0, true},     {0, true},    {0, true},    {0, false},     // the burst, then none
      {99, false},   {100, true},  {150, false},                 // one per 100 ms
      {5000, true},  {5000, true}, {5000, true}, {5000, false},  // refilled to the burst only
      {4000, false},  // a clock that went back gives nothing
  };
  TokenBucket b;
  for (const auto& [at, passes] : steps) EXPECT_EQ(b.take(at, 10, 3), passes) << at;
}

TEST(RateLimit, AddressesAreThrottledApartAndTheOldestIsForgotten) {
  AddressThrottle t(1, 2, 3);
  // A flooding address meets its limit; another is not touched by it.
  EXPECT_TRUE(t.allow(v4(1), 0));
  EXPECT_TRUE(t.allow(v4(1), 0));
  EXPECT_FALSE(t.allow(v4(1), 0));
  EXPECT_TRUE(t.allow(v4(2), 5));
  EXPECT_TRUE(t.allow(v4(3), 10));
  // A fourth address takes the place of the one seen longest ago, .1, which
  // then starts afresh with a whole burst (and pushes out .2).
  EXPECT_TRUE(t.allow(v4(4), 20));
  EXPECT_EQ(t.tracked(), 3u);
  EXPECT_TRUE(t.allow(v4(1), 30));
  EXPECT_TRUE(t.allow(v4(1), 30));
  EXPECT_FALSE(t.allow(v4(1), 30));
  // .3 kept its bucket: one token left of its burst.
  EXPECT_TRUE(t.allow(v4(3), 30));
  EXPECT_FALSE(t.allow(v4(3), 30));
}

}  // namespace
}  // namespace netbuf
