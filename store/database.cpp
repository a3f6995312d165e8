#include "store/database.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/sql_texts.h"
#include "store/sqlite_table3.h"

namespace netbuf {

struct Database::Connection {
  explicit Connection(const std::string& path, bool create) : db(path, create) {}
  TSQLiteDatabase db;
};

Database::Database() = default;
Database::~Database() = default;

void Database::open(const std::string& path, bool create) {
  if (conn_) return;
  path_ = path;
  take(connect(create));
}

void Database::take(std::unique_ptr<Connection> c) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  read_only_reason_ = read_only_reason_of(*c);
  rollback();
  conn_ = std::move(c);
}

std::unique_ptr<Database::Connection> Database::connect(bool create) const {
  auto c = std::make_unique<Connection>(path_, create);
  // A reader that holds the file for a moment (an online backup, the
  // installer's tool) should delay a write, not fail it; a lock held longer
  // still fails fast enough to keep the handlers responsive.
  sqlite3_busy_timeout(c->db.handle(), kBusyTimeoutMs);
  return c;
}

std::string Database::read_only_reason_of(const Connection& c) const {
  // SQLite falls back to reading when the file cannot be opened for writing
  // and says nothing; every later write would fail.
  if (sqlite3_db_readonly(c.db.handle(), "main") != 1) return {};
  if (::access(path_.c_str(), W_OK) != 0) return std::strerror(errno);
  return "opened for reading only";
}

bool Database::reopen_writable() {
  if (!conn_) return false;
  if (read_only_reason_.empty()) return true;
  try {
    auto c = connect(false);
    if (!read_only_reason_of(*c).empty()) return false;
    take(std::move(c));
    return true;
  } catch (const ESQLiteException&) {
    return false;
  }
}

Database::FileChange Database::follow_file() {
  if (path_.empty()) return FileChange::None;
  struct stat st {};
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  if (conn_ && exists && st.st_dev == dev_ && st.st_ino == ino_) return FileChange::None;
  if (exists) {
    try {
      take(connect(false));
      return FileChange::Reopened;
    } catch (const ESQLiteException&) {
    }
  }
  if (!conn_) return FileChange::None;
  close();
  return FileChange::Gone;
}

void Database::close() {
  rollback();
  conn_.reset();
}

Status Database::query(const std::string& sql, std::span<const Column> columns,
                       const EachRow& each_row) {
  if (!conn_) return Status::failure("Database is not open");
  try {
    const auto result = conn_->db.QuerySql(sql);
    TSQLiteTable& t = *result;
    // Every row has the same columns: each name is looked up once, on the
    // first row, and failures still come in column order.
    std::vector<int> index(columns.size(), -1);
    Row row;
    row.cells_.resize(columns.size());
    for (; !t.AtEnd(); t.NextRow()) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        if (index[i] < 0) index[i] = t.ColumnIndex(std::string(columns[i].name));
        if (columns[i].as == As::Integer)
          row.cells_[i].integer = t.ColumnAsInteger(index[i]);
        else
          row.cells_[i].text = t.ColumnAsTextOrEmpty(index[i]);
      }
      each_row(row);
    }
    return {};
  } catch (const ESQLiteException& e) {
    return Status::failure(e.what());
  }
}

Status Database::run(const std::string& sql) {
  if (!conn_) return Status::failure("Database is not open");
  try {
    conn_->db.RunSql(sql);
    return {};
  } catch (const ESQLiteException& e) {
    return Status::failure(e.what());
  }
}

bool Database::in_transaction() const {
  return conn_ && sqlite3_get_autocommit(conn_->db.handle()) == 0;
}

Status Database::begin() {
  return run(sql::kBegin);
}

Status Database::commit() {
  Status s = run(sql::kCommit);
  if (!s) rollback();
  return s;
}

void Database::rollback() {
  if (!in_transaction()) return;
  (void)run(sql::kRollback);
}

}  // namespace netbuf
