#include "store/database.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "store/db_restore.h"
#include "store/sql_texts.h"
#include "store/sqlite_table3.h"

namespace netbuf {

// A statement and what its columns are. Kinds come from the declared types
// once per prepare; a column without one (an expression) takes the kind of
// its value in the first row of each walk.
struct Database::Prepared {
  Prepared() = default;
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  ~Prepared() { sqlite3_finalize(stmt); }

  sqlite3_stmt* stmt = nullptr;
  const char* key = nullptr;
  std::string text;
  std::vector<int32_t> declared;  // 0 where no type is declared
  // SQLite prepares the statement again by itself after a schema change
  // (a table replaced): then the types and places are worked out again.
  int reprepared = 0;
  std::vector<int32_t> kinds;
  // Where the asked columns are, for the columns last asked for; -1 for a
  // name the statement does not have.
  const Column* asked = nullptr;
  std::vector<int> index;
  Row row;
};

struct Database::Connection {
  explicit Connection(const std::string& path, bool create) : db(path, create) {}
  TSQLiteDatabase db;
  // Declared after db: finalized before the connection closes.
  std::vector<std::unique_ptr<Prepared>> kept;
};

Database::Database() = default;
Database::~Database() = default;

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
  sqlite3_busy_timeout(c->db.handle(), busy_ms_);
  // The writer checkpoints after each commit itself; one inside a commit
  // would change the file's bytes where a copy over it is looked for.
  sqlite3_wal_autocheckpoint(c->db.handle(), 0);
  return c;
}

void Database::set_busy_timeout(int ms) {
  busy_ms_ = ms;
  if (conn_) sqlite3_busy_timeout(conn_->db.handle(), ms);
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
  own_ = Stamp{};
}

void Database::reopen() {
  close();
  home_mode_.clear();
  take(connect(false));
}

void Database::restore_from(const std::string& backup) {
  if (!conn_) throw std::runtime_error("Database is not open");
  restore_connection(conn_->db.handle(), backup, path_);
}

Database::Checkpoint Database::checkpoint() {
  if (!conn_) return Checkpoint::Failed;
  // A log that stayed small is copied on and reused from its start, which
  // costs no more than the copy; one that grew (a reader held it, a large
  // batch) is truncated to nothing, which costs a truncate and a new log
  // header at the next commit.
  struct stat st {};
  const bool grown = ::stat((path_ + "-wal").c_str(), &st) == 0 && st.st_size > kWalKeepBytes;
  // A reader is not waited for: its snapshot keeps the log, and a later
  // call truncates it.
  sqlite3_busy_timeout(conn_->db.handle(), 0);
  int64_t busy = 0, log = 0, copied = 0;
  const Column c[] = {{"busy", As::Integer}, {"log", As::Integer}, {"checkpointed", As::Integer}};
  const Status s = query(grown ? sql::kCheckpointTruncate : sql::kCheckpoint, c, [&](const Row& r) {
    busy = r.integer(0);
    log = r.integer(1);
    copied = r.integer(2);
  });
  sqlite3_busy_timeout(conn_->db.handle(), busy_ms_);
  if (!s) return Checkpoint::Failed;
  // Not in WAL mode: no log, -1 frames.
  if (log <= 0) return Checkpoint::Done;
  return copied >= log && busy == 0 ? Checkpoint::Done : Checkpoint::HeldByReader;
}

Database::Stamp Database::stamp() {
  Stamp t;
  const Column c[] = {{"data_version", As::Integer}};
  if (!query(sql::kDataVersion, c, [&t](const Row& r) { t.data_version = r.integer(0); }))
    t.data_version = -1;
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    t.size = st.st_size;
    t.mtime_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  }
  return t;
}

void Database::mark_own_writes() {
  own_ = conn_ ? stamp() : Stamp{};
}

bool Database::untouched() {
  return conn_ && own_.data_version >= 0 && stamp() == own_;
}

Database::Foreign Database::foreign_writes() {
  if (!conn_ || own_.data_version < 0) return Foreign::None;
  const Stamp now = stamp();
  if (now == own_ || now.data_version < 0) return Foreign::None;
  // SQLite counts every commit of another connection; bytes changed without
  // one were written past it.
  const Foreign f =
      now.data_version != own_.data_version ? Foreign::Committed : Foreign::Overwritten;
  own_ = now;
  return f;
}

namespace {

constexpr const char* kWal = "wal";

}  // namespace

std::string Database::journal_mode() {
  std::string mode;
  const Column c[] = {{"journal_mode", As::Text}};
  if (!query(sql::kJournalMode, c, [&mode](const Row& r) { mode = r.text(0); })) return {};
  for (char& ch : mode) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return mode;
}

void Database::prefer_wal() {
  if (!conn_ || !home_mode_.empty() || !read_only_reason_.empty()) return;
  const std::string mode = journal_mode();
  if (mode.empty()) return;
  if (mode == kWal) {
    home_mode_ = "delete";
    return;
  }
  std::string now;
  const Column c[] = {{"journal_mode", As::Text}};
  if (query(sql::kJournalModeWal, c, [&now](const Row& r) { now = r.text(0); }) && now == kWal)
    home_mode_ = mode;
}

std::string Database::restore_journal_mode() {
  if (!conn_ || home_mode_.empty()) return {};
  std::string now;
  const Column c[] = {{"journal_mode", As::Text}};
  const Status s =
      query(sql::journal_mode(home_mode_), c, [&now](const Row& r) { now = r.text(0); });
  if (!s) return s.error();
  if (now != home_mode_) return "still " + now;
  home_mode_.clear();
  return {};
}

namespace {

// Resets a statement however its use is left, so that no read lock stays.
class ResetGuard {
 public:
  explicit ResetGuard(sqlite3_stmt* s) : s_(s) {}
  ~ResetGuard() { sqlite3_reset(s_); }
  ResetGuard(const ResetGuard&) = delete;
  ResetGuard& operator=(const ResetGuard&) = delete;

 private:
  sqlite3_stmt* s_;
};

}  // namespace

void Database::prepare(Prepared& p, const char* sql) const {
  const TSQLiteDatabase& db = conn_->db;
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &p.stmt, nullptr) != SQLITE_OK)
    throw ESQLiteException(db.DbErrorText("Error executing SQL", sql));
  if (!p.stmt) throw ESQLiteException(db.DbErrorText("Could not prepare SQL statement", sql));
  p.text = sql;
  describe(p);
}

void Database::describe(Prepared& p) {
  p.declared.clear();
  const int n = sqlite3_column_count(p.stmt);
  for (int c = 0; c < n; ++c) {
    const char* decl = sqlite3_column_decltype(p.stmt, c);
    p.declared.push_back(decl ? KindFromDecltype(decl) : 0);
  }
  p.asked = nullptr;
  p.reprepared = sqlite3_stmt_status(p.stmt, SQLITE_STMTSTATUS_REPREPARE, 0);
}

Database::Prepared& Database::kept(const char* sql) {
  for (auto& p : conn_->kept)
    if (p->key == sql || p->text == sql) return *p;
  auto p = std::make_unique<Prepared>();
  prepare(*p, sql);
  p->key = sql;
  conn_->kept.push_back(std::move(p));
  return *conn_->kept.back();
}

Status Database::bind(Prepared& p, std::span<const SqlValue> values) const {
  int rc = SQLITE_OK;
  for (std::size_t i = 0; i < values.size() && rc == SQLITE_OK; ++i) {
    const int at = static_cast<int>(i) + 1;
    if (const auto* n = std::get_if<int64_t>(&values[i])) {
      rc = sqlite3_bind_int64(p.stmt, at, *n);
    } else {
      const std::string_view t = std::get<std::string_view>(values[i]);
      rc = sqlite3_bind_text(p.stmt, at, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    }
  }
  if (rc != SQLITE_OK) return Status::failure(conn_->db.DbErrorText("Error executing SQL", p.text));
  return {};
}

Status Database::walk(Prepared& p, std::span<const Column> columns, const EachRow& each_row) const {
  sqlite3_stmt* s = p.stmt;
  const ResetGuard reset(s);
  locate(p, columns);
  p.kinds = p.declared;
  for (bool first = true;; first = false) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) {
      // A lock conflict (SQLITE_BUSY, SQLITE_LOCKED) says so, with its code.
      sqlite3_reset(s);
      return Status::failure(conn_->db.DbErrorText("Could not retrieve data", p.text));
    }
    if (first) {
      if (sqlite3_stmt_status(s, SQLITE_STMTSTATUS_REPREPARE, 0) != p.reprepared) {
        describe(p);
        locate(p, columns);
        p.kinds = p.declared;
      }
      for (std::size_t c = 0; c < p.kinds.size(); ++c)
        if (p.kinds[c] == 0) p.kinds[c] = sqlite3_column_type(s, static_cast<int>(c));
    }
    // Failures come in column order.
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const int c = p.index[i];
      if (c < 0)
        return Status::failure("Field not found in dataset: " + std::string(columns[i].name));
      Row::Cell& cell = p.row.cells_[i];
      const bool integer = columns[i].as == As::Integer;
      const int32_t kind = p.kinds[static_cast<std::size_t>(c)];
      // The common cells need no look at the value's type: SQLite reads a
      // NULL as 0 and as no text.
      if (kind == kKindInteger && integer) {
        cell.integer = sqlite3_column_int64(s, c);
        continue;
      }
      if (kind == kKindText && !integer) {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
        if (t)
          cell.text.assign(t);  // up to the first zero byte
        else
          cell.text.clear();
        continue;
      }
      cell.integer = 0;
      cell.text.clear();
      if (sqlite3_column_type(s, c) == SQLITE_NULL) continue;
      switch (kind) {
        case kKindInteger:
          cell.text = std::to_string(sqlite3_column_int64(s, c));
          continue;
        case kKindFloat:
          if (integer)
            cell.integer = FloatAsInteger(sqlite3_column_double(s, c));
          else
            cell.text = FloatAsText(sqlite3_column_double(s, c));
          continue;
        case kKindBlob: {
          const auto* b = static_cast<const char*>(sqlite3_column_blob(s, c));
          const int n = sqlite3_column_bytes(s, c);
          if (b == nullptr || n <= 0) continue;  // an empty blob is no value
          if (!integer) {
            cell.text.assign(b, static_cast<std::size_t>(n));
            continue;
          }
          break;
        }
        case kKindNull:
          // A column whose first value was NULL reads as empty text throughout.
          if (!integer) continue;
          break;
        default:
          break;  // text read as an integer
      }
      return Status::failure("Not an integer or numeric field");
    }
    each_row(p.row);
  }
}

void Database::locate(Prepared& p, std::span<const Column> columns) {
  sqlite3_stmt* s = p.stmt;
  if (p.asked != columns.data() || p.index.size() != columns.size()) {
    p.index.assign(columns.size(), -1);
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string_view want = columns[i].name;
      for (int c = 0; c < static_cast<int>(p.declared.size()); ++c) {
        const char* name = sqlite3_column_name(s, c);
        if (name && std::strlen(name) == want.size() &&
            sqlite3_strnicmp(name, want.data(), static_cast<int>(want.size())) == 0) {
          p.index[i] = c;
          break;
        }
      }
    }
    p.asked = columns.data();
    p.row.cells_.resize(columns.size());
  }
}

Status Database::query(const std::string& sql, std::span<const Column> columns,
                       const EachRow& each_row) {
  if (!conn_) return Status::failure("Database is not open");
  try {
    Prepared once;
    prepare(once, sql.c_str());
    return walk(once, columns, each_row);
  } catch (const ESQLiteException& e) {
    return Status::failure(e.what());
  }
}

Status Database::query_prepared(const char* sql, std::span<const SqlValue> values,
                                std::span<const Column> columns, const EachRow& each_row) {
  if (!conn_) return Status::failure("Database is not open");
  try {
    Prepared& p = kept(sql);
    if (Status s = bind(p, values); !s) return s;
    return walk(p, columns, each_row);
  } catch (const ESQLiteException& e) {
    return Status::failure(e.what());
  }
}

Status Database::run_prepared(const char* sql, std::span<const SqlValue> values) {
  if (!conn_) return Status::failure("Database is not open");
  try {
    Prepared& p = kept(sql);
    if (Status s = bind(p, values); !s) return s;
    const ResetGuard reset(p.stmt);
    if (sqlite3_step(p.stmt) == SQLITE_DONE) return {};
    sqlite3_reset(p.stmt);
    return Status::failure(conn_->db.DbErrorText("Error executing SQL statement", p.text));
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
