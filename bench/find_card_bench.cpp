// Card lookup over a full table: the code index against the plain scan it
// replaced.
#include <benchmark/benchmark.h>

#include "access/card_check.h"
#include "core/hex_text.h"
#include "tests/unit/fakes.h"

namespace netbuf {
namespace {

// Ten hex digits, spread over the code space like real card codes.
std::string code_of(uint32_t k) {
  return hex_min(k * 2654435761u, 10);
}

struct FullTable {
  testing::FakeWorld w;
  FullTable() {
    w.log.all(false);
    for (int k = 0; k < kCardCount; ++k) w.st.set_card_kod(k, code_of(static_cast<uint32_t>(k)));
    w.st.card_count = kCardCount - 1;
  }
};

FullTable& table() {
  static FullTable t;
  return t;
}

int linear_scan(const BufferState& st, const std::string& code) {
  for (int i = 0; i <= st.card_count; ++i)
    if (st.cards[i].kod == code) return i;
  return kCardNotFound;
}

const std::string kLastCode = code_of(kCardCount - 1);
const std::string kNoCode = "FFFFFFFFFF";

void BM_FindCard_LastEntry(benchmark::State& s) {
  FullTable& t = table();
  for (auto _ : s) benchmark::DoNotOptimize(find_card(t.w.ctx, kLastCode));
  if (find_card(t.w.ctx, kLastCode) != kCardCount - 1) s.SkipWithError("wrong entry");
}

void BM_FindCard_NoMatch(benchmark::State& s) {
  FullTable& t = table();
  for (auto _ : s) benchmark::DoNotOptimize(find_card(t.w.ctx, kNoCode));
  if (find_card(t.w.ctx, kNoCode) != kCardNotFound) s.SkipWithError("unexpected match");
}

void BM_LinearScan_LastEntry(benchmark::State& s) {
  FullTable& t = table();
  for (auto _ : s) benchmark::DoNotOptimize(linear_scan(t.w.st, kLastCode));
}

void BM_LinearScan_NoMatch(benchmark::State& s) {
  FullTable& t = table();
  for (auto _ : s) benchmark::DoNotOptimize(linear_scan(t.w.st, kNoCode));
}

BENCHMARK(BM_FindCard_LastEntry);
BENCHMARK(BM_FindCard_NoMatch);
BENCHMARK(BM_LinearScan_LastEntry);
BENCHMARK(BM_LinearScan_NoMatch);

}  // namespace
}  // namespace netbuf
