// Start-up over a net.db whose register, karty and setings rows come from the
// input: NULLs, numbers far outside 32 bits, text, reals and blobs in integer
// columns. After start-up the loaded cards and registers are stored back as
// the clean stop does, and must reach the file unchanged.
//
// Input: up to 64 rows, each a table byte (mod 3: register, karty, setings)
// and one value per column, a value being a kind byte (mod 8: NULL, int8,
// int32, int64, text, real, blob, an edge number) and its bytes; text and
// blob carry a length byte first.
#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <set>
#include <string>

#include "app/startup.h"
#include "app/write_back.h"
#include "fuzz_support.h"

namespace netbuf::fuzz {
namespace {

constexpr int kMaxRows = 64;

constexpr int64_t kEdges[] = {0,
                              -1,
                              1,
                              8999,
                              9000,
                              20001,
                              20002,
                              1400,
                              1401,
                              3170,
                              0x8000,
                              0xFFFF,
                              0x10000,
                              2147483647,
                              -2147483647 - 1,
                              2147483648LL,
                              4294967295LL,
                              4294967297LL,
                              std::numeric_limits<int64_t>::max(),
                              std::numeric_limits<int64_t>::min()};

struct Table {
  const char* insert;
  int columns;
};
constexpr Table kTables[] = {
    {"INSERT INTO register VALUES (?, ?, ?)", 3},
    {"INSERT INTO karty VALUES (?, ?, ?, ?, ?, ?)", 6},
    {"INSERT INTO setings VALUES (?, ?)", 2},
};

void bind_value(sqlite3_stmt* s, int col, Cursor& in) {
  switch (in.u8() % 8) {
    case 0:
      sqlite3_bind_null(s, col);
      break;
    case 1:
      sqlite3_bind_int64(s, col, static_cast<int8_t>(in.u8()));
      break;
    case 2:
      sqlite3_bind_int64(s, col, static_cast<int32_t>(in.be32()));
      break;
    case 3:
      sqlite3_bind_int64(s, col, static_cast<int64_t>(in.be64()));
      break;
    case 4: {
      const auto t = in.bytes(in.u8());
      sqlite3_bind_text(s, col, reinterpret_cast<const char*>(t.data()), static_cast<int>(t.size()),
                        SQLITE_TRANSIENT);
      break;
    }
    case 5: {
      const uint64_t bits = in.be64();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      sqlite3_bind_double(s, col, d);
      break;
    }
    case 6: {
      const auto b = in.bytes(in.u8());
      sqlite3_bind_blob(s, col, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
      break;
    }
    default:
      sqlite3_bind_int64(s, col, kEdges[in.u8() % std::size(kEdges)]);
      break;
  }
}

// The rows go in through SQLite's own calls: reals and blobs are values no
// statement of netbuf binds.
void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

void build_db(const std::string& path, Cursor& in) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
  exec(db, "PRAGMA synchronous=OFF");
  exec(db, "PRAGMA journal_mode=MEMORY");
  exec(db, "BEGIN");
  for (const char* sql : {schema::kCreateRegister, schema::kCreateKarty, schema::kCreateSetings,
                          schema::kCreateEvent, schema::kCreateEventIndex})
    exec(db, sql);
  for (int row = 0; row < kMaxRows && !in.empty(); ++row) {
    const Table& t = kTables[in.u8() % 3];
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, t.insert, -1, &s, nullptr) != SQLITE_OK) std::abort();
    for (int c = 1; c <= t.columns; ++c) bind_value(s, c, in);
    sqlite3_step(s);
    sqlite3_finalize(s);
  }
  exec(db, "COMMIT");
  sqlite3_close(db);
}

struct Target {
  ScratchDir dir;
  FuzzWorld fw;
  Target() { fw.snapshot(); }
};

// The code index agrees with the card table for every card that has a code.
NETBUF_FUZZ_UNTRACED void check_card_index(const BufferState& st) {
  for (int k = 0; k < kCardCount; ++k) {
    const std::string& kod = st.cards[k].kod;
    if (kod.empty()) continue;
    const int first = st.card_index().lowest(kod, k);
    NETBUF_FUZZ_CHECK(first >= 0 && first <= k && st.cards[first].kod == kod);
  }
}

// Readers come from the non-zero first words of the slots, in slot order.
void check_readers(const BufferState& st) {
  int e = 0;
  for (int slot = 0; slot < kReaderCount; ++slot) {
    const int32_t w0 = st.reg(kRegReaderSlots + 4 * slot);
    if (w0 == 0) continue;
    ++e;
    NETBUF_FUZZ_CHECK(st.readers[e].adr485 == w0 / 256 && st.readers[e].geo_zone == w0 % 256);
  }
  NETBUF_FUZZ_CHECK(e == st.reader_count);
}

// Every card start-up loaded goes back to its rows with the same texts.
NETBUF_FUZZ_UNTRACED void store_and_compare(testing::FakeWorld& w) {
  BufferState& st = w.st;
  std::set<int> loaded;
  for (int k = 0; k < kCardCount; ++k)
    if (!st.cards[k].kod.empty() || !st.cards[k].lcd.empty()) loaded.insert(k);
  for (int k : loaded) st.cards[k].dirty = 1;
  for (auto& r : st.registers)
    if (r.val != 0) r.dirty = 1;
  NETBUF_FUZZ_CHECK(w.db.run("PRAGMA synchronous=OFF"));
  store_everything(w.ctx);
  NETBUF_FUZZ_CHECK(w.op.boxes.empty());

  for (int k : loaded) {
    NETBUF_FUZZ_CHECK(st.cards[k].dirty == 0);
    const Column kod_lcd[] = {{"kod", As::Text}, {"lcd", As::Text}};
    NETBUF_FUZZ_CHECK(w.db.query(
        "SELECT kod, lcd FROM karty WHERE numer = " + std::to_string(k + 1), kod_lcd,
        [&](const Row& r) {
          NETBUF_FUZZ_CHECK(r.text(0) == st.cards[k].kod);
          NETBUF_FUZZ_CHECK(r.text(1) == (st.cards[k].lcd.empty() ? "---" : st.cards[k].lcd));
        }));
  }
}

}  // namespace
}  // namespace netbuf::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf;
  auto [t, w] = fuzz::target_with_new_links<fuzz::Target>(fuzz::FuzzWorld::Cards::kAny);
  w.db.close();

  const std::string path = t.dir.path("net.db");
  fuzz::Cursor in(data, size);
  fuzz::build_db(path, in);

  try {
    start_up(w.ctx, path);
  } catch (const std::exception&) {
    // The window reports it and netbuf goes on with what was loaded.
    return 0;
  }
  t.fw.check_bounds();
  fuzz::check_readers(w.st);
  fuzz::check_card_index(w.st);
  fuzz::store_and_compare(w);
  return 0;
}
