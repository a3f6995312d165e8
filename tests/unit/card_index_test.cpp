#include "core/card_index.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace netbuf {
namespace {

// The plain scan the index stands in for.
int scan(const std::vector<std::string>& codes, const std::string& kod, int last) {
  for (int k = 0; k <= last && k < static_cast<int>(codes.size()); ++k)
    if (codes[static_cast<std::size_t>(k)] == kod) return k;
  return -1;
}

// Built in one pass, then changed one entry at a time as uploads do, in
// ascending, descending and random order; after every step each code (and
// the empty one, and one nobody holds) is looked up below several limits and
// compared with the scan. Few distinct codes over many entries make long
// groups and crowded slots, so groups are split and joined in the middle and
// freed slots are closed up across the end of the table.
TEST(CardIndexTest, LookupsMatchAScanAfterBuildAndEveryChange) {
  struct Case {
    int entries;
    int distinct;
  } cases[] = {{1, 1}, {7, 3}, {64, 40}, {200, 5}, {1000, 900}};
  std::mt19937 rng(15);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries);
    auto code = [&](int v) { return v == 0 ? std::string() : "C" + std::to_string(v * 7919); };
    std::uniform_int_distribution<int> pick_code(0, c.distinct);
    std::uniform_int_distribution<int> pick_entry(0, c.entries - 1);
    std::vector<std::string> codes(static_cast<std::size_t>(c.entries));
    for (auto& s : codes) s = code(pick_code(rng));

    CardIndex index(c.entries);
    index.rebuild([&](int k) -> const std::string& { return codes[static_cast<std::size_t>(k)]; });
    auto check = [&](int step) {
      for (int v = 0; v <= c.distinct + 1; ++v) {
        for (int last : {-1, 0, c.entries / 3, c.entries - 1, c.entries + 5}) {
          ASSERT_EQ(index.lowest(code(v), last), scan(codes, code(v), last))
              << "step " << step << " code " << code(v) << " last " << last;
        }
      }
    };
    check(-1);
    const int changes = 4 * c.entries;
    for (int step = 0; step < changes; ++step) {
      int k;
      if (step < c.entries) {
        k = step;  // ascending
      } else if (step < 2 * c.entries) {
        k = 2 * c.entries - 1 - step;  // descending
      } else {
        k = pick_entry(rng);
      }
      const std::string kod = code(pick_code(rng));
      codes[static_cast<std::size_t>(k)] = kod;
      index.change(k, kod);
      if (c.entries < 200 || step % 97 == 0) check(step);
    }
    check(changes);
    index.change(-1, "X");  // outside the table: nothing
    index.change(c.entries, "X");
    check(changes + 1);
  }
}

}  // namespace
}  // namespace netbuf
