// One write-back tick against a real net.db laid out as `netbuf-db create`
// lays it out, with 1, 100 or 9000 dirty registers, or 3 to 20001 dirty
// cards (a whole upload stored in one tick). Wall
// time per tick: the commit waits for the disk, not for the CPU. The file
// lives under TMPDIR, so point TMPDIR at the installation's file system.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include "app/write_back.h"
#include "core/hex_text.h"
#include "store/schema.h"
#include "store/sql_texts.h"
#include "tests/unit/fakes.h"
#include "tests/unit/temp_dir.h"

namespace netbuf {
namespace {

class BenchDb {
 public:
  BenchDb() {
    Database db;
    db.open(path_, true);
    bool made = db.begin().ok();
    for (const char* s : schema::kCreateStatements) made = made && db.run(s);
    for (const auto& d : schema::kSettingDefaults)
      made = made && db.run(schema::insert_setting(d.key, d.value));
    if (!made || !db.commit()) throw std::runtime_error("cannot create " + path_);
  }
  const std::string& path() const { return path_; }

 private:
  testing::TempDir dir_{"netbuf-bench-"};
  std::string path_ = dir_.path() + "/net.db";
};

// A buffer as it runs in the field: full card count, so the card pass walks
// the whole table every tick.
struct Running {
  BenchDb file;
  testing::FakeWorld w;
  Running() {
    w.log.all(false);
    w.db.open(file.path());
    w.st.registers[kRegCardCount] = Register{kCardCount - 1, 0};
  }
  // One timed tick a round, after `mark` has set up its work untimed.
  template <class Mark>
  void ticks(benchmark::State& s, Mark mark) {
    for (auto _ : s) {
      s.PauseTiming();
      mark();
      s.ResumeTiming();
      on_write_back_tick(w.ctx);
    }
  }
  // A box the operator would have seen fails the run.
  void check_no_box(benchmark::State& s) const {
    if (!w.op.boxes.empty()) s.SkipWithError(w.op.boxes.front().c_str());
  }
};

// Dirty registers spread evenly over the image; a fresh value each round so
// every UPDATE really changes its row.
void BM_WriteBackTick_Registers(benchmark::State& s) {
  Running r;
  const int dirty = static_cast<int>(s.range(0));
  const int stride = kRegisterCount / dirty;
  int32_t value = 1;
  r.ticks(s, [&] {
    ++value;
    for (int i = 0; i < dirty; ++i) {
      const int a = i * stride;
      // The card count keeps its value: the card pass depends on it.
      r.w.st.registers[a] = Register{a == kRegCardCount ? kCardCount - 1 : value, 1};
    }
  });
  for (const Register& reg : r.w.st.registers)
    if (reg.dirty) s.SkipWithError("a register stayed dirty");
  // The last round's values must be in the file, not only marked clean.
  const int last = (dirty - 1) * stride;
  int64_t stored = -1;
  const Column val[] = {{"val", As::Integer}};
  if (!r.w.db.query("SELECT val FROM register WHERE adres = " + dec(last), val,
                    [&stored](const Row& row) { stored = row.integer(0); }) ||
      stored != value)
    s.SkipWithError("the file misses the last value");
  r.check_no_box(s);
  s.SetItemsProcessed(s.iterations() * dirty);
}

// Dirty cards spread evenly over a full table; a tick stores them all.
void BM_WriteBackTick_Cards(benchmark::State& s) {
  Running r;
  const int dirty = static_cast<int>(s.range(0));
  const int stride = kCardCount / dirty;
  uint32_t round = 0;
  r.ticks(s, [&] {
    ++round;
    for (int i = 0; i < dirty; ++i) {
      const int k = i * stride;
      r.w.st.set_card_kod(k, hex_min(round * 2654435761u + static_cast<uint32_t>(k), 10));
      r.w.st.cards[k].typ = 1;
      r.w.st.cards[k].dirty = 1;
    }
  });
  for (const CardEntry& c : r.w.st.cards)
    if (c.dirty) s.SkipWithError("a card stayed dirty");
  r.check_no_box(s);
  s.SetItemsProcessed(s.iterations() * dirty);
}

// Events that waited while net.db refused writes, stored by the first tick
// that finds it writable again: how long that tick holds the loop. A tick
// takes at most 10 000 of them; a longer queue drains over several ticks.
void BM_WriteBackTick_WaitingEvents(benchmark::State& s) {
  Running r;
  const auto n = static_cast<std::size_t>(s.range(0));
  int32_t id = 0;
  r.ticks(s, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      sql::EventValues v;
      v.id = ++id;
      v.adr485 = 1;
      v.time = 1700000000 + id;
      v.status = 4;
      r.w.st.upkeep.waiting_events.push_back(v);
    }
  });
  if (!r.w.st.upkeep.waiting_events.empty()) s.SkipWithError("events still waiting");
  if (r.w.st.event_counter() != id) s.SkipWithError("the counter lags behind");
  r.check_no_box(s);
  s.SetItemsProcessed(static_cast<int64_t>(s.iterations() * n));
}

// Nothing dirty: the fixed cost every three seconds.
void BM_WriteBackTick_Idle(benchmark::State& s) {
  Running r;
  for (auto _ : s) on_write_back_tick(r.w.ctx);
}

// The floor for the register tick: the same UPDATEs in one transaction,
// prepared once and bound, straight on the C API with nothing around them.
void BM_Floor_PreparedRegisterUpdates(benchmark::State& s) {
  BenchDb file;
  sqlite3* db = nullptr;
  if (sqlite3_open(file.path().c_str(), &db) != SQLITE_OK) s.SkipWithError("cannot open");
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db, sql::kUpdateRegister, -1, &update, nullptr);
  const int dirty = static_cast<int>(s.range(0));
  const int stride = kRegisterCount / dirty;
  int32_t value = 1;
  for (auto _ : s) {
    ++value;
    sqlite3_exec(db, sql::kBegin, nullptr, nullptr, nullptr);
    for (int i = 0; i < dirty; ++i) {
      sqlite3_bind_int64(update, 1, value);
      sqlite3_bind_int64(update, 2, i * stride);
      if (sqlite3_step(update) != SQLITE_DONE) s.SkipWithError("update failed");
      sqlite3_reset(update);
    }
    if (sqlite3_exec(db, sql::kCommit, nullptr, nullptr, nullptr) != SQLITE_OK)
      s.SkipWithError("commit failed");
  }
  sqlite3_finalize(update);
  sqlite3_close(db);
  s.SetItemsProcessed(s.iterations() * dirty);
}

// Run next to each other so that both see the same disk and the same load.
BENCHMARK(BM_WriteBackTick_Registers)->Arg(9000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_PreparedRegisterUpdates)
    ->Arg(9000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBackTick_Registers)
    ->Arg(1)
    ->Arg(100)
    ->Arg(9000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBackTick_Cards)
    ->Arg(3)
    ->Arg(100)
    ->Arg(kCardCount)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBackTick_WaitingEvents)
    ->Arg(1)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBackTick_Idle)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace netbuf
