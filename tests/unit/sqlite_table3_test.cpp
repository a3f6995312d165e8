#include "store/sqlite_table3.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/buffer_state.h"
#include "store/database.h"
#include "store/schema.h"
#include "store/sql_texts.h"

namespace netbuf {
namespace {

class SqliteFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "netbuf_store_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name = "net.db") const { return dir_ + "/" + name; }

  std::string dir_;
};

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST_F(SqliteFile, ColumnKindComesFromExactDeclaredTypeElseFromFirstRow) {
  TSQLiteDatabase db(path());
  db.RunSql(
      "CREATE TABLE t(a INTEGER, b integer, c INT, d, e REAL, f TEXT, g BOOLEAN, h BLOB, "
      "i NUMERIC, j boolean, k double)");
  db.RunSql("INSERT INTO t VALUES (7, 8, 9, 7, 2.5, '0011', 1, x'4142', 3, 1, 4)");
  db.RunSql("INSERT INTO t VALUES (1, 2, 3, 'abc', 4.0, 'x', 0, x'', 5, 0, 0)");
  auto t = db.QuerySql("SELECT * FROM t");
  // SQLite 3.37 and later hand back its own standard type names (INT, INTEGER,
  // REAL, TEXT, BLOB) in upper case however they were declared, so lower-case
  // integer only stays a text column with older libraries.
  const int32_t lower_integer = sqlite3_libversion_number() >= 3037000 ? 1 : 3;
  EXPECT_EQ(t->ColumnKinds(), (std::vector<int32_t>{1, lower_integer, 3, 1, 2, 3, 1, 4, 2, 3, 3}));
  EXPECT_EQ(t->ColumnAsInteger(0), 7);
  // INT, and non-standard names in the wrong case, are text columns to this reader.
  EXPECT_EQ(error_of([&] { t->ColumnAsInteger(2); }), "Not an integer or numeric field");
  EXPECT_EQ(error_of([&] { t->ColumnAsInteger(9); }), "Not an integer or numeric field");
  EXPECT_EQ(error_of([&] { t->ColumnAsDouble(10); }), "Not an integer or numeric field");
  EXPECT_EQ(t->ColumnAsText(2), "9");
  EXPECT_EQ(t->ColumnAsText(9), "1");
  EXPECT_EQ(t->ColumnAsInteger(6), 1);
  EXPECT_EQ(t->ColumnAsText(5), "0011");
  EXPECT_EQ(t->ColumnAsText(7), "AB");
  ASSERT_NE(t->ColumnAsBlob(7), nullptr);
  EXPECT_EQ(*t->ColumnAsBlob(7), (std::vector<uint8_t>{0x41, 0x42}));
  EXPECT_EQ(error_of([&] { t->ColumnAsBlob(5); }), "Not a Blob field");
  EXPECT_DOUBLE_EQ(t->ColumnAsDouble(8), 3.0);

  // The untyped column stays integer for later rows: 'abc' reads as SQLite's conversion, 0.
  ASSERT_TRUE(t->NextRow());
  EXPECT_EQ(t->ColumnAsInteger(3), 0);
  EXPECT_EQ(t->ColumnAsBlob(7), nullptr);  // a zero-byte blob is absent
  EXPECT_EQ(t->ColumnAsTextOrEmpty(7), "");

  auto e = db.QuerySql("SELECT 1 + 1, 'x' || 'y', 2.5 * 2, NULL");
  EXPECT_EQ(e->ColumnKinds(), (std::vector<int32_t>{1, 3, 2, 5}));
}

TEST_F(SqliteFile, NullsFloatsAndTextForms) {
  TSQLiteDatabase db(path());
  db.RunSql("CREATE TABLE t(i INTEGER, s TEXT, f REAL)");
  db.RunSql("INSERT INTO t VALUES (NULL, NULL, 2.9), (-5, 'a', -2.9), (0, '', 0.1)");
  auto t = db.QuerySql("SELECT * FROM t");
  EXPECT_EQ(t->ColumnAsInteger(0), 0);
  EXPECT_EQ(t->ColumnAsTextOrEmpty(0), "");
  EXPECT_EQ(t->ColumnAsTextOrEmpty(1), "");
  EXPECT_EQ(t->ColumnAsInteger(2), 2);
  EXPECT_EQ(t->ColumnAsText(2), "2.9");
  t->NextRow();
  EXPECT_EQ(t->ColumnAsInteger(2), -2);  // toward zero, not down
  EXPECT_EQ(t->ColumnAsText(0), "-5");
  EXPECT_DOUBLE_EQ(t->ColumnAsDouble(0), -5.0);
  EXPECT_EQ(error_of([&] { t->ColumnAsInteger(1); }), "Not an integer or numeric field");
  t->NextRow();
  EXPECT_EQ(t->ColumnAsText(2), "0.1");

  auto g = db.QuerySql("SELECT 1 / 3.0 AS third");
  EXPECT_EQ(g->ColumnAsText(0), "0.333333333333333");
}

TEST_F(SqliteFile, EmptyResultsCursorAndNameLookup) {
  TSQLiteDatabase db(path());
  db.RunSql("CREATE TABLE t(Id INTEGER, opis TEXT)");
  auto empty = db.QuerySql("SELECT * FROM t");
  EXPECT_TRUE(empty->AtEnd());
  EXPECT_FALSE(empty->FirstRow());
  EXPECT_EQ(empty->ColumnCount(), 0);
  EXPECT_EQ(error_of([&] { empty->ColumnIndex("Id"); }), "Field Id Not found. Empty dataset");
  EXPECT_EQ(error_of([&] { empty->ColumnAsInteger(0); }), "Table is at End of File");

  db.RunSql("INSERT INTO t VALUES (1, 'a'), (2, 'b')");
  auto t = db.QuerySql("SELECT * FROM t");
  EXPECT_EQ(t->ColumnNames(), (std::vector<std::string>{"ID", "OPIS"}));
  EXPECT_EQ(t->ColumnIndex("ID"), 0);
  EXPECT_EQ(t->ColumnIndex("Opis"), 1);
  EXPECT_EQ(error_of([&] { t->ColumnIndex("kod"); }), "Field not found in dataset: kod");
  EXPECT_TRUE(t->NextRow());
  EXPECT_TRUE(t->NextRow());
  EXPECT_TRUE(t->AtEnd());
  EXPECT_FALSE(t->NextRow());
  EXPECT_EQ(t->CurrentRow(), 2);
  EXPECT_EQ(error_of([&] { t->ColumnAsText(1); }), "Table is at End of File");
  EXPECT_EQ(error_of([&] { t->ColumnAsTextOrEmpty(1); }), "Table is at End of File");
  EXPECT_TRUE(t->FirstRow());
  EXPECT_EQ(t->ColumnAsText(1), "a");
}

TEST_F(SqliteFile, ErrorTextsAndStatementsFinalizedOnEveryPath) {
  TSQLiteDatabase db(path());
  EXPECT_EQ(error_of([&] { db.QuerySql(sql::kSelectRegister); }),
            "Error executing SQL.\rError [1]: SQL error or missing database.\r"
            "\"SELECT * FROM register\": no such table: register");

  db.RunSql("CREATE TABLE t(a INTEGER)");
  db.RunSql("INSERT INTO t VALUES (1)");
  EXPECT_EQ(
      error_of([&] { db.RunSql("SELECT * FROM t"); }).rfind("Error executing SQL statement", 0),
      0u);
  EXPECT_EQ(error_of([&] { db.RunSql(""); }), "Could not prepare SQL statement");
  EXPECT_EQ(error_of([&] { db.RunSql("-- nothing"); }), "Could not prepare SQL statement");
  EXPECT_EQ(error_of([&] { db.QuerySql("SELECT abs(-9223372036854775808) FROM t"); }),
            "Could not retrieve data.\rError [1]: SQL error or missing database.\r"
            "\"SELECT abs(-9223372036854775808) FROM t\": integer overflow");
  db.RunSql("CREATE UNIQUE INDEX u ON t(a)");
  EXPECT_EQ(error_of([&] { db.RunSql("INSERT INTO t VALUES (1)"); }),
            "Error executing SQL statement.\rError [19]: Abort due to contraint violation.\r"
            "\"INSERT INTO t VALUES (1)\": UNIQUE constraint failed: t.a");
  // Every failure above must have finalized its statement.
  EXPECT_EQ(sqlite3_next_stmt(db.handle(), nullptr), nullptr);

  EXPECT_EQ(error_of([&] { TSQLiteDatabase bad(path("no/such/dir.db")); }),
            "Failed to open database \"" + path("no/such/dir.db") +
                "\" : unable to open database file (No such file or directory)");

  EXPECT_EQ(SQLiteErrorText(0), "Successful result");
  EXPECT_EQ(SQLiteErrorText(26), "File opened that is not a database file");
  EXPECT_EQ(SQLiteErrorText(101), "sqlite3_step() has finished executing");
  EXPECT_EQ(SQLiteErrorText(27), "Unknown SQLite Error Code \"27\"");
  EXPECT_EQ(SQLiteErrorText(-1), "Unknown SQLite Error Code \"-1\"");
}

TEST_F(SqliteFile, LockedDatabaseFailsAtOnceWithoutRetry) {
  TSQLiteDatabase reader(path());
  reader.RunSql("CREATE TABLE t(a INTEGER)");
  reader.QuerySql("SELECT * FROM t");  // schema loaded: the lock now shows at step
  TSQLiteDatabase holder(path());
  holder.RunSql("BEGIN EXCLUSIVE");
  EXPECT_EQ(error_of([&] { reader.QuerySql("SELECT * FROM t"); }),
            "Could not prepare SQL statement");
  EXPECT_EQ(error_of([&] {
              reader.RunSql("INSERT INTO t VALUES (1)");
            }).rfind("Error executing SQL statement.\rError [5]: The database file is locked.", 0),
            0u);
  EXPECT_EQ(sqlite3_next_stmt(reader.handle(), nullptr), nullptr);
  holder.RunSql("ROLLBACK");
  reader.RunSql("INSERT INTO t VALUES (1)");
}

// Every row of a query as the asked columns, read by the declared-type rules;
// a failure comes back as the call's result, with no row handed on.
TEST_F(SqliteFile, DatabaseHandsRowsAsValuesAndReportsFailures) {
  Database d;
  constexpr Column kSetting[] = {{"val", As::Integer}, {"parametr", As::Text}};
  std::vector<std::pair<int64_t, std::string>> rows;
  const auto collect = [&rows](const Row& r) { rows.emplace_back(r.integer(0), r.text(1)); };
  EXPECT_EQ(d.query(sql::kSelectSetings, kSetting, collect).error(), "Database is not open");
  EXPECT_EQ(d.run("SELECT 1").error(), "Database is not open");
  // The process's connection never creates the file it is pointed at.
  EXPECT_EQ(error_of([&] { d.open(path()); }),
            "Failed to open database \"" + path() +
                "\" : unable to open database file (No such file or directory)");
  EXPECT_FALSE(std::filesystem::exists(path()));
  d.open(path(), true);
  EXPECT_EQ(d.read_only_reason(), "");
  ASSERT_TRUE(d.run("CREATE TABLE setings(PARAMETR TEXT, val INTEGER, t INT)"));
  ASSERT_TRUE(
      d.run("INSERT INTO setings VALUES ('COM1', 3, '5'), (NULL, NULL, 'x'), ('x', 2.5, '')"));
  // A NULL reads 0 and empty; 2.5 in an INTEGER column reads truncated.
  ASSERT_TRUE(d.query(sql::kSelectSetings, kSetting, collect));
  EXPECT_EQ(rows, (std::vector<std::pair<int64_t, std::string>>{{3, "COM1"}, {0, ""}, {2, "x"}}));

  rows.clear();
  ASSERT_TRUE(d.query("SELECT val, t FROM setings",
                      std::array{Column{"VAL", As::Integer}, Column{"t", As::Text}},
                      [&](const Row& r) { rows.emplace_back(r.integer(0), r.text(1)); }));
  EXPECT_EQ(rows, (std::vector<std::pair<int64_t, std::string>>{{3, "5"}, {0, "x"}, {2, ""}}));

  struct Case {
    const char* sql;
    Column column;
    std::string error;
  };
  const Case kFailures[] = {
      // A column declared INT is text to this reader: no integer read.
      {"SELECT t FROM setings", {"t", As::Integer}, "Not an integer or numeric field"},
      {"SELECT val FROM setings", {"nope", As::Integer}, "Field not found in dataset: nope"},
      {"SELECT * FROM missing", {"val", As::Integer}, "Error executing SQL.\rError [1]: "},
  };
  for (const Case& c : kFailures) {
    int seen = 0;
    const Status s = d.query(c.sql, std::span(&c.column, 1), [&](const Row&) { ++seen; });
    EXPECT_FALSE(s) << c.sql;
    EXPECT_EQ(s.error().rfind(c.error, 0), 0u) << s.error();
    EXPECT_EQ(seen, 0) << c.sql;
  }
  EXPECT_EQ(d.run("INSERT INTO missing VALUES (1)").error().rfind("Error executing SQL.", 0), 0u);
  EXPECT_EQ(d.run("SELECT 1").error().rfind("Error executing SQL statement", 0), 0u);
}

TEST_F(SqliteFile, DatabaseTransactionsRollBackOnFailure) {
  Database d;
  d.open(path(), true);
  ASSERT_TRUE(d.run("PRAGMA foreign_keys = ON"));
  ASSERT_TRUE(d.run("CREATE TABLE p(id INTEGER PRIMARY KEY)"));
  ASSERT_TRUE(d.run("CREATE TABLE c(pid INTEGER REFERENCES p(id) DEFERRABLE INITIALLY DEFERRED)"));
  d.rollback();  // nothing open: no effect
  auto count = [&](const char* table) {
    int64_t n = -1;
    const Status s =
        d.query(std::string("SELECT COUNT(*) AS n FROM ") + table,
                std::array{Column{"n", As::Integer}}, [&n](const Row& r) { n = r.integer(0); });
    EXPECT_TRUE(s) << s.error();
    return n;
  };

  ASSERT_TRUE(d.begin());
  EXPECT_FALSE(d.begin());  // no nesting
  ASSERT_TRUE(d.run("INSERT INTO p VALUES (1)"));
  EXPECT_FALSE(d.run("INSERT INTO p VALUES (1)"));
  EXPECT_TRUE(d.in_transaction());
  d.rollback();
  EXPECT_FALSE(d.in_transaction());
  EXPECT_EQ(count("p"), 0);

  // A deferred constraint only fails at COMMIT, which leaves the transaction open.
  ASSERT_TRUE(d.begin());
  ASSERT_TRUE(d.run("INSERT INTO p VALUES (2)"));
  ASSERT_TRUE(d.run("INSERT INTO c VALUES (99)"));
  EXPECT_FALSE(d.commit());
  EXPECT_FALSE(d.in_transaction());
  EXPECT_EQ(count("p"), 0);

  ASSERT_TRUE(d.begin());
  ASSERT_TRUE(d.run("INSERT INTO p VALUES (3)"));
  EXPECT_TRUE(d.commit());
  EXPECT_EQ(count("p"), 1);
}

// A file built from the schema must take every statement the running system sends
// and load through the same integer and text reads that start-up uses.
TEST_F(SqliteFile, FreshSchemaFitsTheSystemsStatements) {
  Database d;
  d.open(path(), true);
  ASSERT_TRUE(d.begin());
  for (const char* s : schema::kCreateStatements) ASSERT_TRUE(d.run(s));
  for (const auto& s : schema::kSettingDefaults)
    ASSERT_TRUE(d.run(schema::insert_setting(s.key, s.value)));
  ASSERT_TRUE(d.commit());

  std::set<int64_t> adres;
  constexpr Column kRegister[] = {{"adres", As::Integer}, {"val", As::Integer}, {"opis", As::Text}};
  ASSERT_TRUE(d.query(sql::kSelectRegister, kRegister, [&](const Row& r) {
    adres.insert(r.integer(0));
    EXPECT_EQ(r.integer(1), 0);
    EXPECT_EQ(r.text(2), "");
  }));
  EXPECT_EQ(adres.size(), static_cast<size_t>(kRegisterCount));
  EXPECT_EQ(*adres.begin(), 0);
  EXPECT_EQ(*adres.rbegin(), kRegisterCount - 1);

  constexpr Column kCard[] = {{"numer", As::Integer},    {"kod", As::Text},
                              {"lcd", As::Text},         {"time_zone", As::Integer},
                              {"geo_zone", As::Integer}, {"typ", As::Integer}};
  int cards = 0;
  ASSERT_TRUE(d.query(sql::kSelectKarty, kCard, [&](const Row& r) {
    if (cards++ > 0) return;
    EXPECT_EQ(r.integer(0), 1);
    EXPECT_EQ(r.text(1), "");
    EXPECT_EQ(r.text(2), "---");
    EXPECT_EQ(r.integer(3) + r.integer(4) + r.integer(5), 0);
  }));
  EXPECT_EQ(cards, kCardCount);

  std::vector<std::pair<std::string, int64_t>> settings;
  constexpr Column kSetting[] = {{"PARAMETR", As::Text}, {"val", As::Integer}};
  ASSERT_TRUE(d.query(sql::kSelectSetings, kSetting,
                      [&](const Row& r) { settings.emplace_back(r.text(0), r.integer(1)); }));
  EXPECT_EQ(settings, (std::vector<std::pair<std::string, int64_t>>{{"COM1", 0},
                                                                    {"DELAY1", 30},
                                                                    {"PORT_TCP", 502},
                                                                    {"SERVICE", 1060},
                                                                    {"N_CARD", 0},
                                                                    {"S_CARD", 0}}));

  // Each update of the running system must land on exactly one row.
  auto changes = [&] {
    int64_t n = -1;
    EXPECT_TRUE(d.query("SELECT changes() AS n", std::array{Column{"n", As::Integer}},
                        [&n](const Row& r) { n = r.integer(0); }));
    return n;
  };
  ASSERT_TRUE(d.run(sql::update_register(7, kRegisterCount - 1)));
  EXPECT_EQ(changes(), 1);
  ASSERT_TRUE(d.run(sql::update_card(1, "0011223344", "", 3, 1, kCardCount)));
  EXPECT_EQ(changes(), 1);
  for (const auto& s : schema::kSettingDefaults) {
    ASSERT_TRUE(d.run(sql::update_setting("5", s.key)));
    EXPECT_EQ(changes(), 1) << s.key;
  }
  std::string kod;
  ASSERT_TRUE(d.query("SELECT * FROM karty WHERE numer = 20001",
                      std::array{Column{"kod", As::Text}}, [&](const Row& r) { kod = r.text(0); }));
  EXPECT_EQ(kod, "0011223344");  // leading zeros kept

  sql::EventValues ev;
  ev.id = 1;
  ev.timezone = 0x80000005u;
  ev.kod = {17, 34, 51, 68, 85};
  ev.code_no = kCardNotFound;
  ASSERT_TRUE(d.run(sql::insert_event(ev)));
  ASSERT_TRUE(d.run(sql::insert_event(ev)));  // a repeated Id is still stored
  {
    // Every event column is declared INTEGER: all read as the integers stored.
    TSQLiteDatabase raw(path());
    EXPECT_EQ(raw.QuerySql("SELECT * FROM event WHERE ID = 1")->ColumnKinds(),
              std::vector<int32_t>(16, kKindInteger));
  }
  std::vector<std::array<int64_t, 3>> events;
  ASSERT_TRUE(d.query("SELECT * FROM event WHERE ID = 1",
                      std::array{Column{"timezone", As::Integer}, Column{"kod5", As::Integer},
                                 Column{"code_no", As::Integer}},
                      [&](const Row& r) {
                        events.push_back({r.integer(0), r.integer(1), r.integer(2)});
                      }));
  EXPECT_EQ(events,
            (std::vector<std::array<int64_t, 3>>(2, {0x80000005LL, 85, int64_t{kCardNotFound}})));
}

// The statements kept prepared say exactly what the spliced texts say (a
// bound text between single quotes), and a closed and reopened connection
// prepares them afresh on the new file.
TEST_F(SqliteFile, KeptStatementsExpandToTheSplicedTexts) {
  Database d;
  d.open(path(), true);
  for (const char* s : schema::kCreateStatements) ASSERT_TRUE(d.run(s));
  sql::EventValues ev;
  ev.id = 7;
  ev.adr485 = 3;
  ev.time = 1553932800;
  ev.timezone = 0x80000005u;
  ev.kod = {17, 34, 51, 68, 85};
  ev.status = 4;
  ev.code_no = -2;
  // The values view their texts: these outlive the cases.
  const std::string kod = "00A1B2C3D4";
  const std::string lcd;
  std::string card = sql::update_card(1, kod, lcd, 3, 1, 5);
  std::replace(card.begin(), card.end(), '"', '\'');
  struct Case {
    const char* text;
    std::vector<SqlValue> values;
    std::string spliced;
  };
  const auto values = [](const auto& a) { return std::vector<SqlValue>(a.begin(), a.end()); };
  const Case kCases[] = {
      {sql::kUpdateRegister, values(sql::update_register_values(-1, 805)),
       sql::update_register(-1, 805)},
      {sql::kUpdateCard, values(sql::update_card_values(1, kod, lcd, 3, 1, 5)), card},
      {sql::kInsertEvent, values(sql::insert_event_values(ev)), sql::insert_event(ev)},
      {sql::kSelectEvents, values(sql::select_events_values(8, 4294967295LL, 7)),
       sql::select_events(8, 4294967295LL, 7)},
  };
  for (const Case& c : kCases) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, c.text, -1, &stmt, nullptr), SQLITE_OK) << c.text;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      const int at = static_cast<int>(i) + 1;
      if (const auto* n = std::get_if<int64_t>(&c.values[i])) {
        sqlite3_bind_int64(stmt, at, *n);
      } else {
        const auto t = std::get<std::string_view>(c.values[i]);
        sqlite3_bind_text(stmt, at, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      }
    }
    EXPECT_EQ(sqlite3_bind_parameter_count(stmt), static_cast<int>(c.values.size())) << c.text;
    char* expanded = sqlite3_expanded_sql(stmt);
    EXPECT_EQ(std::string(expanded), c.spliced);
    sqlite3_free(expanded);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }

  const auto stored = [&] {
    std::vector<int64_t> ids;
    EXPECT_TRUE(d.query_prepared(sql::kSelectEvents, sql::select_events_values(0, 99, 7),
                                 std::array{Column{"id", As::Integer}},
                                 [&ids](const Row& r) { ids.push_back(r.integer(0)); }));
    return ids;
  };
  ASSERT_TRUE(d.run_prepared(sql::kInsertEvent, sql::insert_event_values(ev)));
  EXPECT_EQ(stored(), std::vector<int64_t>{7});
  d.close();
  std::filesystem::rename(path(), path("old.db"));
  {
    Database fresh;
    fresh.open(path(), true);
    for (const char* s : schema::kCreateStatements) ASSERT_TRUE(fresh.run(s));
  }
  d.open(path());
  EXPECT_EQ(stored(), std::vector<int64_t>{});
  ev.id = 9;
  ASSERT_TRUE(d.run_prepared(sql::kInsertEvent, sql::insert_event_values(ev)));
  EXPECT_EQ(stored(), std::vector<int64_t>{9});
}

}  // namespace
}  // namespace netbuf
