// A real net.db in a fresh temporary directory for tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "store/schema.h"
#include "store/sqlite_table3.h"

namespace netbuf::testing {

class TempDb {
 public:
  TempDb() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "netbuf-test-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    path_ = dir_ + "/net.db";
  }
  ~TempDb() {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }

  // The four tables of a prepared net.db with only the first `registers`
  // register rows and `cards` card rows, and no settings rows.
  void create(int registers = 9000, int cards = 200) {
    TSQLiteDatabase db(path_);
    for (const char* create : {schema::kCreateRegister, schema::kCreateKarty,
                               schema::kCreateSetings, schema::kCreateEvent})
      db.RunSql(create);
    db.RunSql("BEGIN");
    for (int a = 0; a < registers; ++a)
      db.RunSql("INSERT INTO register VALUES(" + std::to_string(a) + ",0,'')");
    for (int n = 1; n <= cards; ++n)
      db.RunSql("INSERT INTO karty VALUES(" + std::to_string(n) + ",0,'','---',0,0)");
    db.RunSql("COMMIT");
  }
  void exec(const std::string& sql) {
    TSQLiteDatabase db(path_);
    db.RunSql(sql);
  }
  int64_t scalar(const std::string& sql) {
    TSQLiteDatabase db(path_);
    auto t = db.QuerySql(sql);
    return t->AtEnd() ? -1 : t->ColumnAsInteger(0);
  }
  std::string text(const std::string& sql) {
    TSQLiteDatabase db(path_);
    auto t = db.QuerySql(sql);
    return t->AtEnd() ? std::string("<none>") : t->ColumnAsText(0);
  }

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace netbuf::testing
