#include "store/database.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/sql_texts.h"

namespace netbuf {

void Database::open(const std::string& path) {
  if (database) return;
  path_ = path;
  take(connect());
}

void Database::take(std::unique_ptr<TSQLiteDatabase> db) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  read_only_reason_ = read_only_reason_of(*db);
  rollback();
  database = std::move(db);
}

std::unique_ptr<TSQLiteDatabase> Database::connect() const {
  auto db = std::make_unique<TSQLiteDatabase>(path_, false);
  // A reader that holds the file for a moment (an online backup, the
  // installer's tool) should delay a write, not fail it; a lock held longer
  // still fails fast enough to keep the handlers responsive.
  sqlite3_busy_timeout(db->handle(), kBusyTimeoutMs);
  return db;
}

std::string Database::read_only_reason_of(const TSQLiteDatabase& db) const {
  // SQLite falls back to reading when the file cannot be opened for writing
  // and says nothing; every later write would fail.
  if (sqlite3_db_readonly(db.handle(), "main") != 1) return {};
  if (::access(path_.c_str(), W_OK) != 0) return std::strerror(errno);
  return "opened for reading only";
}

bool Database::reopen_writable() {
  if (!database) return false;
  if (read_only_reason_.empty()) return true;
  try {
    auto db = connect();
    if (!read_only_reason_of(*db).empty()) return false;
    take(std::move(db));
    return true;
  } catch (const ESQLiteException&) {
    return false;
  }
}

Database::FileChange Database::follow_file() {
  if (path_.empty()) return FileChange::None;
  struct stat st {};
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  if (database && exists && st.st_dev == dev_ && st.st_ino == ino_) return FileChange::None;
  if (exists) {
    try {
      take(connect());
      return FileChange::Reopened;
    } catch (const ESQLiteException&) {
    }
  }
  if (!database) return FileChange::None;
  rollback();
  database.reset();
  return FileChange::Gone;
}

void Database::open_query(const std::string& sql) {
  if (!database) throw ESQLiteException("Database is not open");
  auto result = database->QuerySql(sql);
  current_result = std::move(result);
  current_result->FirstRow();
}

int64_t Database::read_int(const std::string& name) const {
  if (!current_result) throw ESQLiteException("Table is at End of File");
  return current_result->ColumnAsInteger(current_result->ColumnIndex(name));
}

std::string Database::read_text(const std::string& name) const {
  if (!current_result) throw ESQLiteException("Table is at End of File");
  return current_result->ColumnAsTextOrEmpty(current_result->ColumnIndex(name));
}

void Database::RunSql(const std::string& sql) {
  if (!database) throw ESQLiteException("Database is not open");
  database->RunSql(sql);
}

bool Database::in_transaction() const {
  return database && sqlite3_get_autocommit(database->handle()) == 0;
}

bool Database::begin() {
  try {
    RunSql(sql::kBegin);
    return true;
  } catch (const ESQLiteException&) {
    return false;
  }
}

bool Database::commit() {
  try {
    RunSql(sql::kCommit);
    return true;
  } catch (const ESQLiteException&) {
    rollback();
    return false;
  }
}

void Database::rollback() {
  if (!in_transaction()) return;
  try {
    RunSql(sql::kRollback);
  } catch (const ESQLiteException&) {
  }
}

}  // namespace netbuf
