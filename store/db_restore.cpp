#include "store/db_restore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "store/sql_texts.h"

namespace netbuf {

namespace {

// A running netbuf holds the write lock for one commit at a time.
constexpr int kBusyMs = 10000;
constexpr auto kRetryPause = std::chrono::milliseconds(20);

class Handle {
 public:
  Handle(const std::string& path, int flags) {
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      throw std::runtime_error(path + ": " + why);
    }
    sqlite3_busy_timeout(db_, kBusyMs);
  }
  ~Handle() { sqlite3_close(db_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  sqlite3* get() const { return db_; }

  // The first column of the first row as text; empty when there is none.
  std::string text(const char* sql, const std::string& path) const {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK)
      throw std::runtime_error(path + ": " + sqlite3_errmsg(db_));
    std::string out;
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      out = t ? t : "";
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
      throw std::runtime_error(path + ": " + sqlite3_errmsg(db_));
    return out;
  }
  int64_t number(const char* sql, const std::string& path) const {
    // An empty or NULL cell reads as 0.
    return std::strtoll(text(sql, path).c_str(), nullptr, 10);
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace

namespace {

// Every page of the sound backup at `backup` into the connection `to`, as
// one commit; `path` names the destination in errors.
RestoreOutcome copy_into(sqlite3* to, const std::string& backup, const std::string& path) {
  struct stat st {};
  if (::stat(backup.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    throw std::runtime_error(backup + ": no such file");
  const Handle from(backup, SQLITE_OPEN_READONLY);
  if (from.number(sql::kCountNetbufTables, backup) != 4)
    throw std::runtime_error(backup +
                             ": not a netbuf database (tables register, karty, "
                             "setings and event)");
  if (const std::string c = from.text(sql::kQuickCheck, backup); c != "ok")
    throw std::runtime_error(backup + ": damaged: " + c);

  sqlite3_backup* b = sqlite3_backup_init(to, "main", from.get(), "main");
  if (!b) throw std::runtime_error(path + ": " + sqlite3_errmsg(to));
  // All pages in one step, under the write lock; a commit under way first
  // ends, and the step is tried again.
  int rc = SQLITE_OK;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
  do {
    rc = sqlite3_backup_step(b, -1);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) std::this_thread::sleep_for(kRetryPause);
  } while ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && std::chrono::steady_clock::now() < until);
  sqlite3_backup_finish(b);
  if (rc != SQLITE_DONE)
    throw std::runtime_error(path + ": not restored: " + sqlite3_errstr(rc) + " (" +
                             sqlite3_errmsg(to) + ")");
  return {};
}

}  // namespace

RestoreOutcome restore_database(const std::string& backup, const std::string& path) {
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  const Handle to(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!existed) ::chmod(path.c_str(), 0640);
  copy_into(to.get(), backup, path);
  RestoreOutcome out;
  out.check = to.text(sql::kIntegrityCheck, path);
  out.events = to.number(sql::kCountEvent, path);
  out.last_id = to.number(sql::kStoredCounter, path);
  return out;
}

void restore_connection(sqlite3* to, const std::string& backup, const std::string& path) {
  copy_into(to, backup, path);
}

}  // namespace netbuf
