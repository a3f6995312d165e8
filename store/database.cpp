#include "store/database.h"

#include <sqlite3.h>

#include "store/sql_texts.h"

namespace netbuf {

void Database::open(const std::string& path) {
  if (database) return;
  database = std::make_unique<TSQLiteDatabase>(path);
  // A reader that holds the file for a moment (an online backup, the
  // installer's tool) should delay a write, not fail it; a lock held longer
  // still fails fast enough to keep the handlers responsive.
  sqlite3_busy_timeout(database->handle(), kBusyTimeoutMs);
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
