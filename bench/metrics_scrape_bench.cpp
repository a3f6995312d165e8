// What a scrape of the metrics port costs the loop: a copy of the figures of
// a full line (32 readers, every counter moved) and its text, as served.
// Run: build/bench/metrics_scrape_bench (a table of times per scrape).
#include <benchmark/benchmark.h>

#include <memory>

#include "core/buffer_state.h"
#include "core/figures_snapshot.h"
#include "core/metrics_request.h"
#include "core/prometheus_text.h"

namespace netbuf {
namespace {

std::unique_ptr<BufferState> full_line() {
  auto st = std::make_unique<BufferState>();
  st->reader_count = kReaderCount;
  st->upkeep.instance = "hall-b";
  int64_t now = 0;
  for (int round = 0; round < 1000; ++round)
    for (int e = 1; e <= kReaderCount; ++e) {
      st->readers[e].adr485 = e;
      const auto a = static_cast<uint8_t>(e);
      st->figures.frame_sent(a, round % 50 == 0 ? FrameKind::Relay : FrameKind::Poll, 8, now);
      now += 13 + (round + e) % 40;
      if ((round + e) % 97 == 0)
        st->figures.crc_error(a);
      else if ((round + e) % 89 != 0) {
        st->figures.answer_taken(a, false, now);
        st->figures.awaited_answered(a, now);
      }
    }
  return st;
}

void BM_Scrape(benchmark::State& state) {
  const auto st = full_line();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const MetricsRequest r = judge_metrics_request("GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
    benchmark::DoNotOptimize(r);
    const std::string body = prometheus_text(take_figures(*st, 1000000));
    const std::string head = metrics_answer_head(body.size());
    bytes = head.size() + body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["answer_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Scrape)->Unit(benchmark::kMicrosecond);

void BM_Snapshot(benchmark::State& state) {
  const auto st = full_line();
  for (auto _ : state) benchmark::DoNotOptimize(take_figures(*st, 1000000));
}
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace netbuf
