// Opening and closing the connection, and the calls a query goes through.
#include "store/database.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "store/connection.h"
#include "store/sql_texts.h"

namespace netbuf {

Database::Connection::Connection(const std::string& path, bool create) {
  // sqlite3_open's mode, without SQLite's per-call locking: a connection is
  // only ever used by the one thread that opened it, and the lock pair on
  // every column read made up a good part of loading the card table.
  const int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) return;
  std::string msg = "Failed to open database \"" + path + "\" : ";
  if (db) {
    msg += sqlite3_errmsg(db);
    // SQLite's own text does not say why ("unable to open database file").
    if (const int e = sqlite3_system_errno(db); e != 0)
      msg += std::string(" (") + std::strerror(e) + ")";
    sqlite3_close(db);
    db = nullptr;
  } else {
    msg += "unknown error";
  }
  throw std::runtime_error(msg);
}

Database::Connection::~Connection() {
  // SQLite rolls back a transaction still open as it closes.
  kept.clear();
  sqlite3_close(db);
}

Database::Database() = default;
Database::~Database() {
  close();
}

void Database::open(const std::string& path, bool create) {
  if (conn_) return;
  path_ = path;
  take(connect(create));
}

void Database::take(std::unique_ptr<Connection> c) {
  // A file left behind goes back to its own journal mode where it can.
  if (conn_) (void)restore_journal_mode();
  home_mode_.clear();
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  read_only_reason_ = read_only_reason_of(*c);
  rollback();
  conn_ = std::move(c);
  // Another connection counts commits afresh.
  own_ = Stamp{};
}

std::unique_ptr<Database::Connection> Database::connect(bool create) const {
  auto c = std::make_unique<Connection>(path_, create);
  // A reader that holds the file for a moment (an online backup, the
  // installer's tool) should delay a write, not fail it; a lock held longer
  // still fails fast enough to keep the handlers responsive.
  sqlite3_busy_timeout(c->db, busy_ms_);
  // The writer checkpoints after each commit itself; one inside a commit
  // would change the file's bytes where a copy over it is looked for.
  sqlite3_wal_autocheckpoint(c->db, 0);
  return c;
}

void Database::set_busy_timeout(int ms) {
  busy_ms_ = ms;
  if (conn_) sqlite3_busy_timeout(conn_->db, ms);
}

std::string Database::read_only_reason_of(const Connection& c) const {
  // SQLite falls back to reading when the file cannot be opened for writing
  // and says nothing; every later write would fail.
  if (sqlite3_db_readonly(c.db, "main") != 1) return {};
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
  } catch (const std::runtime_error&) {
    return false;
  }
}

void Database::close() {
  rollback();
  conn_.reset();
  own_ = Stamp{};
}

Status Database::query(const std::string& sql, std::span<const Column> columns,
                       const EachRow& each_row) {
  if (!conn_) return Status::failure("Database is not open");
  Prepared once;
  if (Status s = prepare(once, sql.c_str()); !s) return s;
  return execute(once, columns, &each_row);
}

Status Database::run(const std::string& sql) {
  if (!conn_) return Status::failure("Database is not open");
  Prepared once;
  if (Status s = prepare(once, sql.c_str()); !s) return s;
  return execute(once, {}, nullptr);
}

Status Database::query_prepared(const char* sql, std::span<const SqlValue> values,
                                std::span<const Column> columns, const EachRow& each_row) {
  if (!conn_) return Status::failure("Database is not open");
  Prepared* p = nullptr;
  if (Status s = kept(sql, p); !s) return s;
  if (Status s = bind(*p, values); !s) return s;
  return execute(*p, columns, &each_row);
}

Status Database::run_prepared(const char* sql, std::span<const SqlValue> values) {
  if (!conn_) return Status::failure("Database is not open");
  Prepared* p = nullptr;
  if (Status s = kept(sql, p); !s) return s;
  if (Status s = bind(*p, values); !s) return s;
  return execute(*p, {}, nullptr);
}

bool Database::in_transaction() const {
  return conn_ && sqlite3_get_autocommit(conn_->db) == 0;
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
