#include "store/database.h"

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
#include "store/batch_commit.h"
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

// One rule turns every cell into a value: the column's declared type
// (compared whole) gives its kind, else the first row's value does, and the
// kind says how a NULL, a real or a text reads as an integer or as text.
TEST_F(SqliteFile, EveryCellReadsByOneRule) {
  Database d;
  d.open(path(), true);
  ASSERT_TRUE(d.run("CREATE TABLE t(i INTEGER, n INT, u, r REAL, s TEXT, b BLOB, m NUMERIC, "
                    "g BOOLEAN, k double)"));
  ASSERT_TRUE(d.run("INSERT INTO t VALUES (7, 9, 7, 2.9, '0011', x'4142', 3, 1, 4), "
                    "(NULL, NULL, 'abc', -2.9, NULL, x'', NULL, NULL, NULL), "
                    "(-5, -5, -5, 0.1, 'a', NULL, 2.5, 0, 1)"));
  // Each row's value; "!" and the failure ends the walk.
  struct Case {
    const char* column;
    As as;
    std::vector<std::string> rows;
  };
  const std::string kNotNumeric = "!Not an integer or numeric field";
  const Case kCases[] = {
      {"i", As::Integer, {"7", "0", "-5"}},
      {"i", As::Text, {"7", "", "-5"}},
      // INT, and names SQLite does not spell its own way, are text columns.
      {"n", As::Integer, {kNotNumeric}},
      {"n", As::Text, {"9", "", "-5"}},
      {"k", As::Integer, {kNotNumeric}},
      // Untyped: the first row's integer makes it an integer column throughout.
      {"u", As::Integer, {"7", "0", "-5"}},
      {"u", As::Text, {"7", "0", "-5"}},
      // Reals truncate toward zero.
      {"r", As::Integer, {"2", "-2", "0"}},
      {"r", As::Text, {"2.9", "-2.9", "0.1"}},
      {"s", As::Integer, {kNotNumeric}},
      {"s", As::Text, {"0011", "", "a"}},
      {"b", As::Integer, {kNotNumeric}},
      {"b", As::Text, {"AB", "", ""}},  // an empty blob is no value
      {"m", As::Integer, {"3", "0", "2"}},
      {"m", As::Text, {"3", "", "2.5"}},
      {"g", As::Integer, {"1", "0", "0"}},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> got;
    const Column col[] = {{c.column, c.as}};
    const Status s = d.query("SELECT * FROM t ORDER BY rowid", col, [&](const Row& r) {
      got.push_back(c.as == As::Integer ? std::to_string(r.integer(0)) : r.text(0));
    });
    if (!s) got.push_back("!" + s.error());
    EXPECT_EQ(got, c.rows) << c.column << (c.as == As::Integer ? " as integer" : " as text");
  }
  std::string third;
  ASSERT_TRUE(d.query("SELECT 1 / 3.0 AS third", std::array{Column{"third", As::Text}},
                      [&third](const Row& r) { third = r.text(0); }));
  EXPECT_EQ(third, "0.333333333333333");
}

// A failure keeps SQLite's code and words; the text shown puts them together
// as the journal always had them, and tells a lock from the rest.
TEST_F(SqliteFile, FailuresKeepTheCodeAndShowTheSameText) {
  Database d;
  d.open(path(), true);
  const Column a[] = {{"a", As::Integer}};
  const auto none = [](const Row&) {};
  Status s = d.query(sql::kSelectRegister, a, none);
  EXPECT_EQ(s.error(),
            "Error executing SQL.\rError [1]: SQL error or missing database.\r"
            "\"SELECT * FROM register\": no such table: register");
  EXPECT_EQ(s.fault().text("\n  "),
            "Error executing SQL.\n  Error [1]: SQL error or missing database.\n  "
            "\"SELECT * FROM register\": no such table: register");
  ASSERT_TRUE(d.run("CREATE TABLE t(a INTEGER)"));
  ASSERT_TRUE(d.run("INSERT INTO t VALUES (1)"));
  EXPECT_EQ(d.run("").error(), "Could not prepare SQL statement");
  EXPECT_EQ(d.run("-- nothing").error(), "Could not prepare SQL statement");
  EXPECT_EQ(d.query("SELECT abs(-9223372036854775808) AS a FROM t", a, none).error(),
            "Could not retrieve data.\rError [1]: SQL error or missing database.\r"
            "\"SELECT abs(-9223372036854775808) AS a FROM t\": integer overflow");
  ASSERT_TRUE(d.run("CREATE UNIQUE INDEX u ON t(a)"));
  s = d.run("INSERT INTO t VALUES (1)");
  EXPECT_EQ(s.error(),
            "Error executing SQL statement.\rError [19]: Abort due to contraint violation.\r"
            "\"INSERT INTO t VALUES (1)\": UNIQUE constraint failed: t.a");
  EXPECT_FALSE(s.fault().disk_trouble());

  Database holder;
  holder.open(path());
  ASSERT_TRUE(holder.run("BEGIN EXCLUSIVE"));
  d.set_busy_timeout(0);
  s = d.query("SELECT a FROM t", a, none);
  EXPECT_EQ(s.error().rfind("Could not retrieve data.\rError [5]: The database file is locked.", 0),
            0u)
      << s.error();
  EXPECT_EQ(s.fault().code, 5);  // SQLITE_BUSY: the same statement may work later
  EXPECT_FALSE(s.fault().disk_trouble());
  // A setting that cannot be stored is named with its values written in.
  const Status u = update_setting(d, "PORT_TCP", 503);
  EXPECT_EQ(u.fault().statement, "UPDATE setings set val= 503 where PARAMETR = \"PORT_TCP\" ;");
  holder.rollback();

  EXPECT_EQ(sqlite_code_text(101), "sqlite3_step() has finished executing");
  EXPECT_EQ(sqlite_code_text(27), "Unknown SQLite Error Code \"27\"");
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
  ASSERT_TRUE(
      d.run_prepared(sql::kUpdateRegister, sql::update_register_values(7, kRegisterCount - 1)));
  EXPECT_EQ(changes(), 1);
  const std::string kod = "0011223344", lcd;
  ASSERT_TRUE(d.run_prepared(sql::kUpdateCard,
                             sql::update_card_values(1, kod, lcd, 3, 1, kCardCount)));
  EXPECT_EQ(changes(), 1);
  for (const auto& s : schema::kSettingDefaults) {
    ASSERT_TRUE(d.run_prepared(sql::kUpdateSetting, sql::update_setting_values(-5, s.key)));
    EXPECT_EQ(changes(), 1) << s.key;
    // Stored as an integer, as a number spliced into the statement was.
    std::string type;
    ASSERT_TRUE(d.query(std::string("SELECT typeof(val) AS t, val FROM setings WHERE PARAMETR = '") +
                            s.key + "'",
                        std::array{Column{"t", As::Text}, Column{"val", As::Text}},
                        [&](const Row& r) { type = r.text(0) + " " + r.text(1); }));
    EXPECT_EQ(type, "integer -5") << s.key;
  }
  std::string stored_kod;
  ASSERT_TRUE(d.query("SELECT * FROM karty WHERE numer = 20001",
                      std::array{Column{"kod", As::Text}},
                      [&](const Row& r) { stored_kod = r.text(0); }));
  EXPECT_EQ(stored_kod, "0011223344");  // leading zeros kept

  sql::EventValues ev;
  ev.id = 1;
  ev.timezone = 0x80000005u;
  ev.kod = {17, 34, 51, 68, 85};
  ev.code_no = kCardNotFound;
  ASSERT_TRUE(d.run_prepared(sql::kInsertEvent, sql::insert_event_values(ev)));
  // A repeated Id is still stored.
  ASSERT_TRUE(d.run_prepared(sql::kInsertEvent, sql::insert_event_values(ev)));
  // Every event column is declared INTEGER: all read as the integers stored.
  int64_t integer_columns = -1;
  ASSERT_TRUE(d.query("SELECT count(*) AS n FROM pragma_table_info('event') WHERE type = 'INTEGER'",
                      std::array{Column{"n", As::Integer}},
                      [&](const Row& r) { integer_columns = r.integer(0); }));
  EXPECT_EQ(integer_columns, 16);
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

// The statements kept prepared take their values in the order given (a
// bound text shows between single quotes), and a closed and reopened
// connection prepares them afresh on the new file.
TEST_F(SqliteFile, KeptStatementsTakeTheirValuesInOrder) {
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
  struct Case {
    const char* text;
    std::vector<SqlValue> values;
    std::string expanded;
  };
  const auto values = [](const auto& a) { return std::vector<SqlValue>(a.begin(), a.end()); };
  const Case kCases[] = {
      {sql::kUpdateRegister, values(sql::update_register_values(-1, 805)),
       "UPDATE register set val=-1 where adres =805 ;"},
      {sql::kUpdateCard, values(sql::update_card_values(1, kod, lcd, 3, 1, 5)),
       "UPDATE karty  set typ =1,kod = '00A1B2C3D4',LCD='---' , time_zone = 3, geo_zone = 1 "
       "where  numer = 5;"},
      {sql::kInsertEvent, values(sql::insert_event_values(ev)),
       "INSERT INTO event(ID,typ,ADR485,time,timezone,typ_kodu,kod1,kod2,kod3,kod4,kod5,status,"
       "code_no,alarm,event,q5) VALUES (7,80,3,1553932800,2147483653,42,17,34,51,68,85,4,-2,0,0,"
       "0);"},
      {sql::kSelectEvents, values(sql::select_events_values(8, 4294967295LL, 7)),
       "SELECT *, max(rowid) FROM event WHERE ID >= 8 AND ID <= 4294967295 GROUP BY ID ORDER BY "
       "ID LIMIT 7;"},
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
    EXPECT_EQ(std::string(expanded), c.expanded);
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
