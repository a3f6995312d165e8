// A real net.db in a fresh temporary directory for tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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

  // The four tables with the declared types the system reads, and `rows`
  // register rows and card rows, plus the six settings rows.
  void create(int registers = 9000, int cards = 200) {
    TSQLiteDatabase db(path_);
    db.RunSql("CREATE TABLE register(adres INTEGER, val INTEGER, opis TEXT)");
    db.RunSql(
        "CREATE TABLE karty(numer INTEGER, typ INTEGER, kod TEXT, lcd TEXT, time_zone INTEGER, "
        "geo_zone INTEGER)");
    db.RunSql("CREATE TABLE setings(PARAMETR TEXT, val INTEGER)");
    db.RunSql(
        "CREATE TABLE event(ID INTEGER, typ INTEGER, ADR485 INTEGER, time INTEGER, timezone "
        "INTEGER, typ_kodu INTEGER, kod1 INTEGER, kod2 INTEGER, kod3 INTEGER, kod4 INTEGER, kod5 "
        "INTEGER, status INTEGER, code_no INTEGER, alarm INTEGER, event INTEGER, q5 INTEGER)");
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
