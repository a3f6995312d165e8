// Puts a backup's contents into net.db through SQLite's online backup, page
// by page under SQLite's own locks. Every connection to the file, a running
// netbuf's included, sees the restored database whole at its next read: no
// log or cached page of the old contents is mixed into it, as a `cp` over
// the file would.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;

namespace netbuf {

struct RestoreOutcome {
  int64_t events = 0;   // rows of table event in the restored file
  int64_t last_id = 0;  // the counter (804/805) it holds
  std::string check;    // PRAGMA integrity_check of the result, "ok" when sound
};

// The backup must be a sound netbuf database (the four tables, a clean
// quick_check), or nothing is written. A missing `path` is made (mode 0640).
// Throws with the reason.
RestoreOutcome restore_database(const std::string& backup, const std::string& path);

// The same into a connection that is open already (netbuf's own, which
// knows the file's journal mode when the file's header no longer says it).
void restore_connection(sqlite3* to, const std::string& backup, const std::string& path);

}  // namespace netbuf
