// The process's database connection. A query hands its rows to the caller as
// values; every call reports failure to its caller, and only opening the
// file (at start-up) throws. SQLite's own calls stay behind this boundary.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/cell.h"
#include "store/sql_value.h"
#include "store/status.h"

namespace netbuf {

// A column a query asks for, and how it is read.
struct Column {
  std::string_view name;  // matched ignoring case
  As as;
};

// One row of a query: the asked columns, in the order asked.
class Row {
 public:
  int64_t integer(std::size_t i) const { return cells_[i].integer; }
  const std::string& text(std::size_t i) const { return cells_[i].text; }

 private:
  friend class Database;
  std::vector<Cell> cells_;
};

class Database {
 public:
  static constexpr int kBusyTimeoutMs = 100;

  Database();
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens the connection on the path unless one exists already; throws with
  // the system's reason. Never creates the file unless asked: a missing
  // net.db is an error, not an empty database.
  void open(const std::string& path, bool create = false);
  bool is_open() const { return conn_ != nullptr; }
  // How long a statement waits for another connection's lock; for this
  // connection and those it opens later.
  void set_busy_timeout(int ms);
  int busy_timeout() const { return busy_ms_; }
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

  // Runs a query and hands each row to each_row, read as `columns` asks. The
  // first failure (the statement, a missing column, a column of another
  // kind) ends the walk and is returned; rows before it were handed on.
  using EachRow = std::function<void(const Row&)>;
  Status query(const std::string& sql, std::span<const Column> columns, const EachRow& each_row);

  // A statement without rows.
  Status run(const std::string& sql);

  // The same for the statements run per request or per tick: `sql` has a
  // `?` for each of `values`, bound in order, and stays prepared (its
  // columns' kinds and the asked columns' places worked out once) until the
  // connection closes.
  Status query_prepared(const char* sql, std::span<const SqlValue> values,
                        std::span<const Column> columns, const EachRow& each_row);
  Status run_prepared(const char* sql, std::span<const SqlValue> values);

  // A transaction is open (SQLite may end one by itself after an error).
  bool in_transaction() const;
  Status begin();
  // On failure rolls back.
  Status commit();
  // ROLLBACK when a transaction is open; a failure leaves nothing to do.
  void rollback();

  // The journal mode while netbuf runs is WAL: a commit then never makes a
  // read wait, nor a read a commit. The file's own mode comes back at close
  // (a file found in WAL mode was left so by a killed run: it goes back to
  // "delete"). Only the connection that writes does this.
  void prefer_wal();
  // The file's own mode again; needs every other connection to the file
  // closed. Empty when done, else why not.
  std::string restore_journal_mode();
  // The file's journal mode, lower case ("delete", "wal" ...); empty when it
  // cannot be read.
  std::string journal_mode();
  // This connection has put the file in WAL mode.
  bool in_wal() const { return !home_mode_.empty(); }

  // Copies the log into net.db, waiting for no one, and truncates it to
  // nothing once it has grown past kWalKeepBytes: a reader whose snapshot
  // still needs the log keeps it (HeldByReader) until a later call, after
  // the reader has let go.
  static constexpr long kWalKeepBytes = 256 * 1024;
  enum class Checkpoint { Done, HeldByReader, Failed };
  Checkpoint checkpoint();

  // Another program's writes, told from this connection's own: marked after
  // each of its commits, looked for before the next. Committed: through
  // SQLite (a restore by the backup API, a tool's UPDATE), which every
  // connection sees whole. Overwritten: the file's bytes changed outside
  // SQLite (a `cp` over it), which the log and the pages a connection has
  // cached would mix with the new ones into a corrupt file.
  enum class Foreign { None, Committed, Overwritten };
  void mark_own_writes();
  Foreign foreign_writes();
  // Nobody else has written to the file since this connection's last mark.
  bool untouched();
  // The file was overwritten in place and its new bytes are not taken in
  // yet: nothing else goes into it meanwhile.
  bool mixed() const { return mixed_; }
  void set_mixed(bool m) { mixed_ = m; }
  // Every page of the sound database at `backup` into this connection's
  // file, as one commit; throws with the reason.
  void restore_from(const std::string& backup);
  // Drops the connection and its cached pages and opens the path again;
  // throws like open().
  void reopen();

  // Closes the connection (a rollback first when a transaction is open).
  void close();

 private:
  struct Connection;
  struct Prepared;
  // A statement prepared once, for one use.
  Status prepare(Prepared& p, const char* sql) const;
  // The kept statement for `sql`, prepared at its first use.
  Status kept(const char* sql, Prepared*& p);
  static void describe(Prepared& p);
  static void locate(Prepared& p, std::span<const Column> columns);
  Status bind(Prepared& p, std::span<const SqlValue> values) const;
  // Steps the statement through: each row handed on, read as asked; without
  // each_row the statement must return none.
  Status execute(Prepared& p, std::span<const Column> columns, const EachRow* each_row) const;
  StoreError failure(const char* message, const std::string& statement) const;
  std::unique_ptr<Connection> connect(bool create) const;
  std::string read_only_reason_of(const Connection& c) const;
  void take(std::unique_ptr<Connection> c);

  std::unique_ptr<Connection> conn_;
  std::string path_;
  std::string read_only_reason_;
  // The file's own journal mode, while this connection has put it in WAL.
  std::string home_mode_;
  int busy_ms_ = kBusyTimeoutMs;
  // The file the connection was opened on.
  uint64_t dev_ = 0;
  uint64_t ino_ = 0;
  // The file as this connection's last commit left it.
  struct Stamp {
    int64_t data_version = -1;
    int64_t size = 0;
    // A copy over the file changes its modification time; a change of mode
    // or owner (ctime) is no write.
    int64_t mtime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp stamp();
  Stamp own_;
  bool mixed_ = false;
};

}  // namespace netbuf
