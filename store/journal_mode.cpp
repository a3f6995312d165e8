// The file's journal mode: WAL while netbuf runs, the file's own again at a
// stop; and the log copied into the file after each commit.
#include <sys/stat.h>

#include <cctype>

#include "store/connection.h"
#include "store/sql_texts.h"

namespace netbuf {

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
  sqlite3_busy_timeout(conn_->db, 0);
  int64_t busy = 0, log = 0, copied = 0;
  const Column c[] = {{"busy", As::Integer}, {"log", As::Integer}, {"checkpointed", As::Integer}};
  const Status s = query(grown ? sql::kCheckpointTruncate : sql::kCheckpoint, c, [&](const Row& r) {
    busy = r.integer(0);
    log = r.integer(1);
    copied = r.integer(2);
  });
  sqlite3_busy_timeout(conn_->db, busy_ms_);
  if (!s) return Checkpoint::Failed;
  // Not in WAL mode: no log, -1 frames.
  if (log <= 0) return Checkpoint::Done;
  return copied >= log && busy == 0 ? Checkpoint::Done : Checkpoint::HeldByReader;
}

}  // namespace netbuf
