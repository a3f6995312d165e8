// Which file the connection has open, and who else wrote to it: the path
// followed to the file it names now, another program's commits told from
// this connection's own, a copy over the file taken in.
#include <sys/stat.h>

#include <stdexcept>

#include "store/connection.h"
#include "store/db_restore.h"
#include "store/sql_texts.h"

namespace netbuf {

Database::FileChange Database::follow_file() {
  if (path_.empty()) return FileChange::None;
  struct stat st {};
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  if (conn_ && exists && st.st_dev == dev_ && st.st_ino == ino_) return FileChange::None;
  if (exists) {
    try {
      take(connect(false));
      return FileChange::Reopened;
    } catch (const std::runtime_error&) {
    }
  }
  if (!conn_) return FileChange::None;
  close();
  return FileChange::Gone;
}

void Database::reopen() {
  close();
  home_mode_.clear();
  take(connect(false));
}

void Database::restore_from(const std::string& backup) {
  if (!conn_) throw std::runtime_error("Database is not open");
  restore_connection(conn_->db, backup, path_);
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

}  // namespace netbuf
