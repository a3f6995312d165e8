// One function-20 request for 7 events from event tables of growing size,
// with and without an index on event(ID).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <utility>

#include "pclink/file_records.h"
#include "store/schema.h"
#include "store/sql_texts.h"
#include "tests/unit/fakes.h"
#include "tests/unit/temp_dir.h"

namespace netbuf {
namespace {

class EventTable {
 public:
  EventTable(int rows, bool index) {
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    sqlite3_exec(db, schema::kCreateEvent, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO event VALUES(?1, 80, ?2, ?3, 5, 42, 17, 34, 51, 68, 85, 4, "
                       "?4, 0, 0, 0)",
                       -1, &ins, nullptr);
    for (int id = 1; id <= rows; ++id) {
      sqlite3_bind_int(ins, 1, id);
      sqlite3_bind_int(ins, 2, id % 32 + 1);
      sqlite3_bind_int64(ins, 3, 1554026400 + int64_t{id} * 7);
      sqlite3_bind_int(ins, 4, id % 20001);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (index) sqlite3_exec(db, schema::kCreateEventIndex, nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  const std::string& path() const { return path_; }

 private:
  testing::TempDir dir_{"netbuf-bench-"};
  std::string path_ = dir_.path() + "/net.db";
};

// Built once per size: the benchmark body runs several times per argument.
const EventTable& table(int rows, bool index) {
  static std::map<std::pair<int, bool>, std::unique_ptr<EventTable>> tables;
  auto& t = tables[{rows, index}];
  if (!t) t = std::make_unique<EventTable>(rows, index);
  return *t;
}

void BM_EventReadout(benchmark::State& s) {
  const int rows = static_cast<int>(s.range(0));
  const bool index = s.range(1) != 0;
  auto w = std::make_unique<testing::FakeWorld>();
  w->db.open(table(rows, index).path());
  w->log.all(false);

  // Seven records from the middle of the table (L = 0x70).
  const uint8_t request[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0xFF, 0x14,
                             0x07, 0x06, 0x00, 0x80, 0x00, 0x00, 0x00, 0x70};
  const int start = rows / 2;
  BufferState& st = w->st;
  for (auto _ : s) {
    st.set_reg(kRegReadPtrHi, start >> 16);
    st.set_reg(kRegReadPtrLo, start & 0xFFFF);
    st.set_reg(kRegEventCntHi, rows >> 16);
    st.set_reg(kRegEventCntLo, rows & 0xFFFF);
    std::copy(std::begin(request), std::end(request), st.pc_request.rx.begin());
    st.pc_request.rx_len = sizeof request;
    st.pc_request.pos = 0;
    st.pc_tx_len = 0;
    // Each read starts at the pointer set above, as after a hand-over;
    // otherwise every read would go on past the one before.
    st.pc_pointer_on_send = -1;
    read_file_record(w->ctx);
  }
  if (st.pc_tx_len != 11 + 7 * 32) s.SkipWithError("answer without 7 records");
  s.SetLabel(index ? "index on ID" : "no index");
}

BENCHMARK(BM_EventReadout)
    ->ArgsProduct({{1000, 100000, 1000000}, {0, 1}})
    ->ArgNames({"rows", "index"})
    ->Unit(benchmark::kMicrosecond);

// The floor: the same SELECT prepared once, bound and stepped through its
// seven rows on the C API, every column read as an integer.
void BM_Floor_PreparedEventQuery(benchmark::State& s) {
  const int rows = static_cast<int>(s.range(0));
  sqlite3* db = nullptr;
  sqlite3_open(table(rows, true).path().c_str(), &db);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, sql::kSelectEvents, -1, &q, nullptr);
  const int start = rows / 2;
  int64_t sum = 0;
  int got = 0;
  for (auto _ : s) {
    sqlite3_bind_int64(q, 1, start);
    sqlite3_bind_int64(q, 2, rows);
    sqlite3_bind_int64(q, 3, 7);
    got = 0;
    while (sqlite3_step(q) == SQLITE_ROW) {
      for (int c = 0; c < 16; ++c) sum += sqlite3_column_int64(q, c);
      ++got;
    }
    sqlite3_reset(q);
  }
  benchmark::DoNotOptimize(sum);
  sqlite3_finalize(q);
  sqlite3_close(db);
  if (got != 7) s.SkipWithError("not 7 rows");
}

BENCHMARK(BM_Floor_PreparedEventQuery)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->ArgNames({"rows"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace netbuf
