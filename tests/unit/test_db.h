// A real net.db in a fresh temporary directory for tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "store/database.h"
#include "store/schema.h"
#include "tests/unit/temp_dir.h"

namespace netbuf::testing {

// Runs a statement on the connection; a failure fails the test.
inline void must_run(Database& db, const std::string& sql) {
  const Status s = db.run(sql);
  EXPECT_TRUE(s) << sql << ": " << s.error();
}

// Every row of a query as the named columns, read as integers.
inline std::vector<std::vector<int64_t>> integer_rows(Database& db, const std::string& sql,
                                                      std::initializer_list<std::string_view> names) {
  std::vector<Column> columns;
  for (std::string_view n : names) columns.push_back({n, As::Integer});
  std::vector<std::vector<int64_t>> out;
  const Status s = db.query(sql, columns, [&](const Row& r) {
    std::vector<int64_t> row;
    for (std::size_t i = 0; i < columns.size(); ++i) row.push_back(r.integer(i));
    out.push_back(std::move(row));
  });
  EXPECT_TRUE(s) << sql << ": " << s.error();
  return out;
}

class TempDb {
 public:
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_.path(); }

  // The four tables of a prepared net.db with only the first `registers`
  // register rows and `cards` card rows, and no settings rows.
  void create(int registers = 9000, int cards = 200) {
    Database db;
    db.open(path_, true);
    for (const char* create : {schema::kCreateRegister, schema::kCreateKarty,
                               schema::kCreateSetings, schema::kCreateEvent})
      must_run(db, create);
    must_run(db, "BEGIN");
    for (int a = 0; a < registers; ++a)
      must_run(db, "INSERT INTO register VALUES(" + std::to_string(a) + ",0,'')");
    for (int n = 1; n <= cards; ++n)
      must_run(db, "INSERT INTO karty VALUES(" + std::to_string(n) + ",0,'','---',0,0)");
    must_run(db, "COMMIT");
  }
  void exec(const std::string& sql) {
    Database db;
    db.open(path_, true);
    must_run(db, sql);
  }
  // The first column of the first row; -1 (or "<none>") without a row.
  int64_t scalar(const std::string& sql) {
    int64_t v = -1;
    first_cell(sql, As::Integer, [&v](const Row& r) { v = r.integer(0); });
    return v;
  }
  std::string text(const std::string& sql) {
    std::string v = "<none>";
    first_cell(sql, As::Text, [&v](const Row& r) { v = r.text(0); });
    return v;
  }

 private:
  // The query's one column renamed, so it can be asked for by name.
  void first_cell(const std::string& sql, As as, const Database::EachRow& take) {
    Database db;
    db.open(path_, true);
    bool first = true;
    const Column v[] = {{"v", as}};
    const Status s = db.query("WITH q(v) AS (" + sql + ") SELECT v FROM q LIMIT 1", v,
                              [&](const Row& r) {
                                if (first) take(r);
                                first = false;
                              });
    EXPECT_TRUE(s) << sql << ": " << s.error();
  }

  TempDir dir_{"netbuf-test-"};
  std::string path_ = dir_.path() + "/net.db";
};

}  // namespace netbuf::testing
