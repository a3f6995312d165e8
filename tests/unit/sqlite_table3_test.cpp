#include "store/sqlite_table3.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>

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
  } catch (const ESQLiteException& e) {
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

TEST_F(SqliteFile, DatabaseReadsByNameAndKeepsResultOnFailedQuery) {
  Database d;
  EXPECT_THROW(d.open_query(sql::kSelectSetings), ESQLiteException);
  EXPECT_EQ(error_of([&] { d.read_int("val"); }), "Table is at End of File");
  // The process's connection never creates the file it is pointed at.
  EXPECT_EQ(error_of([&] { d.open(path()); }),
            "Failed to open database \"" + path() +
                "\" : unable to open database file (No such file or directory)");
  EXPECT_FALSE(std::filesystem::exists(path()));
  TSQLiteDatabase{path()};
  d.open(path());
  EXPECT_EQ(d.read_only_reason(), "");
  d.RunSql("CREATE TABLE setings(PARAMETR TEXT, val INTEGER)");
  d.RunSql("INSERT INTO setings VALUES ('COM1', 3), (NULL, NULL)");
  d.open_query(sql::kSelectSetings);
  EXPECT_EQ(d.read_text("parametr"), "COM1");
  EXPECT_EQ(d.read_int("VAL"), 3);
  EXPECT_THROW(d.open_query("SELECT * FROM missing"), ESQLiteException);
  EXPECT_EQ(d.read_text("PARAMETR"), "COM1");  // the earlier result is still current
  d.current_result->NextRow();
  EXPECT_EQ(d.read_text("PARAMETR"), "");
  EXPECT_EQ(d.read_int("val"), 0);
}

TEST_F(SqliteFile, DatabaseTransactionsRollBackOnFailure) {
  Database d;
  TSQLiteDatabase{path()};
  d.open(path());
  d.RunSql("PRAGMA foreign_keys = ON");
  d.RunSql("CREATE TABLE p(id INTEGER PRIMARY KEY)");
  d.RunSql("CREATE TABLE c(pid INTEGER REFERENCES p(id) DEFERRABLE INITIALLY DEFERRED)");
  d.rollback();  // nothing open: no effect, no throw
  auto count = [&](const char* table) {
    d.open_query(std::string("SELECT COUNT(*) AS n FROM ") + table);
    return d.read_int("n");
  };

  ASSERT_TRUE(d.begin());
  EXPECT_FALSE(d.begin());  // no nesting
  d.RunSql("INSERT INTO p VALUES (1)");
  EXPECT_THROW(d.RunSql("INSERT INTO p VALUES (1)"), ESQLiteException);
  EXPECT_TRUE(d.in_transaction());
  d.rollback();
  EXPECT_FALSE(d.in_transaction());
  EXPECT_EQ(count("p"), 0);

  // A deferred constraint only fails at COMMIT, which leaves the transaction open.
  ASSERT_TRUE(d.begin());
  d.RunSql("INSERT INTO p VALUES (2)");
  d.RunSql("INSERT INTO c VALUES (99)");
  EXPECT_FALSE(d.commit());
  EXPECT_FALSE(d.in_transaction());
  EXPECT_EQ(count("p"), 0);

  ASSERT_TRUE(d.begin());
  d.RunSql("INSERT INTO p VALUES (3)");
  EXPECT_TRUE(d.commit());
  EXPECT_EQ(count("p"), 1);
}

// A file built from the schema must take every statement the running system sends
// and load through the same integer and text reads that start-up uses.
TEST_F(SqliteFile, FreshSchemaFitsTheSystemsStatements) {
  {
    TSQLiteDatabase db(path());
    db.RunSql(sql::kBegin);
    for (const char* s : schema::kCreateStatements) db.RunSql(s);
    for (const auto& s : schema::kSettingDefaults) {
      db.RunSql(schema::insert_setting(s.key, s.value));
    }
    db.RunSql(sql::kCommit);
  }
  Database d;
  d.open(path());
  std::set<int64_t> adres;
  for (d.open_query(sql::kSelectRegister); !d.current_result->AtEnd();
       d.current_result->NextRow()) {
    adres.insert(d.read_int("adres"));
    EXPECT_EQ(d.read_int("val"), 0);
    EXPECT_EQ(d.read_text("opis"), "");
  }
  EXPECT_EQ(adres.size(), static_cast<size_t>(kRegisterCount));
  EXPECT_EQ(*adres.begin(), 0);
  EXPECT_EQ(*adres.rbegin(), kRegisterCount - 1);

  d.open_query(sql::kSelectKarty);
  EXPECT_EQ(d.current_result->RowCount(), kCardCount);
  EXPECT_EQ(d.read_int("numer"), 1);
  EXPECT_EQ(d.read_text("kod"), "");
  EXPECT_EQ(d.read_text("lcd"), "---");
  EXPECT_EQ(d.read_int("time_zone") + d.read_int("geo_zone") + d.read_int("typ"), 0);

  std::vector<std::pair<std::string, int64_t>> settings;
  for (d.open_query(sql::kSelectSetings); !d.current_result->AtEnd(); d.current_result->NextRow()) {
    settings.emplace_back(d.read_text("PARAMETR"), d.read_int("val"));
  }
  EXPECT_EQ(settings, (std::vector<std::pair<std::string, int64_t>>{{"COM1", 0},
                                                                    {"DELAY1", 30},
                                                                    {"PORT_TCP", 502},
                                                                    {"SERVICE", 1060},
                                                                    {"N_CARD", 0},
                                                                    {"S_CARD", 0}}));

  // Each update of the running system must land on exactly one row.
  auto changes = [&] { return sqlite3_changes(d.database->handle()); };
  d.RunSql(sql::update_register(7, kRegisterCount - 1));
  EXPECT_EQ(changes(), 1);
  d.RunSql(sql::update_card(1, "0011223344", "", 3, 1, kCardCount));
  EXPECT_EQ(changes(), 1);
  for (const auto& s : schema::kSettingDefaults) {
    d.RunSql(sql::update_setting("5", s.key));
    EXPECT_EQ(changes(), 1) << s.key;
  }
  d.open_query("SELECT * FROM karty WHERE numer = 20001");
  EXPECT_EQ(d.read_text("kod"), "0011223344");  // leading zeros kept

  sql::EventValues ev;
  ev.id = 1;
  ev.timezone = 0x80000005u;
  ev.kod = {17, 34, 51, 68, 85};
  ev.code_no = kCardNotFound;
  d.RunSql(sql::insert_event(ev));
  d.RunSql(sql::insert_event(ev));  // a repeated Id is still stored
  d.open_query("SELECT * FROM event WHERE ID = 1");
  EXPECT_EQ(d.current_result->RowCount(), 2);
  EXPECT_EQ(d.current_result->ColumnKinds(), std::vector<int32_t>(16, kKindInteger));
  EXPECT_EQ(d.read_int("timezone"), 0x80000005LL);
  EXPECT_EQ(d.read_int("kod5"), 85);
  EXPECT_EQ(d.read_int("code_no"), kCardNotFound);
}

}  // namespace
}  // namespace netbuf
