// The process's database connection and the current query result, with the
// small row-walking operations the loaders and the event readout use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "store/sqlite_table3.h"

namespace netbuf {

class Database {
 public:
  static constexpr int kBusyTimeoutMs = 100;

  // Opens the connection on the path unless one exists already. Never
  // creates the file: a missing net.db is an error, not an empty database.
  void open(const std::string& path);
  bool is_open() const { return database != nullptr; }
  const std::string& path() const { return path_; }

  // The file could be opened for reading only (its owner or mode, a
  // read-only mount): the system's reason, empty while writable.
  const std::string& read_only_reason() const { return read_only_reason_; }
  // Replaces a read-only connection with a writable one once the file
  // allows it; true when the connection is (now) writable.
  bool reopen_writable();

  // Whether the file at the path is still the one open. A file moved over it
  // (a restore) or removed would take every later write into a file nobody
  // reads: the connection follows the path instead, reopened on the new file
  // or closed until there is one again. Says what this call changed.
  enum class FileChange { None, Reopened, Gone };
  FileChange follow_file();

  // current_result <- QuerySql(sql), then FirstRow. On failure current_result
  // keeps what it held and the exception goes to the caller.
  void open_query(const std::string& sql);
  // A column of the current row by name; callers keep the low 32 bits.
  int64_t read_int(const std::string& name) const;
  std::string read_text(const std::string& name) const;

  // Statements without rows.
  void RunSql(const std::string& sql);

  // A transaction is open (SQLite may end one by itself after an error).
  bool in_transaction() const;
  // BEGIN; returns false when it could not be started.
  bool begin();
  // COMMIT; on failure rolls back and returns false.
  bool commit();
  // ROLLBACK when a transaction is open; never throws.
  void rollback();

  std::unique_ptr<TSQLiteDatabase> database;
  std::unique_ptr<TSQLiteTable> current_result;

 private:
  std::unique_ptr<TSQLiteDatabase> connect() const;
  std::string read_only_reason_of(const TSQLiteDatabase& db) const;

  void take(std::unique_ptr<TSQLiteDatabase> db);

  std::string path_;
  std::string read_only_reason_;
  // The file the connection was opened on.
  uint64_t dev_ = 0;
  uint64_t ino_ = 0;
};

}  // namespace netbuf
