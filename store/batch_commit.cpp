#include "store/batch_commit.h"

#include <filesystem>
#include <fstream>

#include "core/log_texts.h"
#include "store/database.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

namespace fs = std::filesystem;

// The file format's read and write versions: 2 and 2 in WAL mode.
constexpr std::streamoff kHeaderJournalModes = 18;
constexpr char kWalModes = 2;

Status store_rows(Database& db, const StorageBatch& b) {
  for (const EventValues& e : b.events)
    if (Status s = db.run_prepared(sql::kInsertEvent, sql::insert_event_values(e)); !s) return s;
  for (const RegisterRow& r : b.registers)
    if (Status s =
            db.run_prepared(sql::kUpdateRegister, sql::update_register_values(r.val, r.adres));
        !s)
      return s;
  for (const CardRow& c : b.cards)
    if (Status s = db.run_prepared(
            sql::kUpdateCard,
            sql::update_card_values(c.typ, c.kod, c.lcd, c.time_zone, c.geo_zone, c.index + 1));
        !s)
      return s;
  for (const SettingRow& r : b.settings)
    if (Status s = update_setting(db, r.key, r.value); !s) return s;
  return {};
}

// The bytes now at the path (a copy put over the file) taken in through
// SQLite, as a restore does it: every page of the copy goes into the log as
// a new commit, so neither the log nor the pages cached from before the copy
// count any more. Read from a copy of the copy, marked as not in WAL mode,
// so that the old log is not read with it. False while those bytes are no
// sound database (a copy still under way): tried again with the next batch.
bool take_over_copy(Database& db) {
  const std::string aside = db.path() + ".copy";
  std::error_code ec;
  fs::copy_file(db.path(), aside, fs::copy_options::overwrite_existing, ec);
  bool taken = false;
  if (!ec) {
    std::fstream f(aside, std::ios::in | std::ios::out | std::ios::binary);
    char mode[2] = {};
    if (f.seekg(kHeaderJournalModes) && f.read(mode, 2) && mode[0] == kWalModes) {
      const char rollback[2] = {1, 1};
      f.seekp(kHeaderJournalModes);
      f.write(rollback, 2);
    }
    f.close();
    try {
      db.restore_from(aside);
      taken = true;
    } catch (const std::exception&) {
    }
  }
  fs::remove(aside, ec);
  fs::remove(aside + "-journal", ec);
  db.mark_own_writes();
  return taken;
}

// What another program did to the file since the last batch.
void look_behind(Database& db, StorageResult& r) {
  switch (db.foreign_writes()) {
    case Database::Foreign::None:
      break;
    case Database::Foreign::Committed:
      r.written_behind = true;
      db.set_mixed(false);
      break;
    case Database::Foreign::Overwritten:
      db.set_mixed(true);
      break;
  }
  if (db.mixed() && take_over_copy(db)) {
    db.set_mixed(false);
    r.file = StorageResult::File::Overwritten;
    r.written_behind = true;
  }
}

// The log goes into net.db and back to nothing once no reader needs it, so
// the file alone is current (a copy, an immutable read) and the log stays
// small.
void checkpoint(Database& db, StorageResult& r) {
  r.wal_held = db.checkpoint() == Database::Checkpoint::HeldByReader;
  db.mark_own_writes();
}

}  // namespace

Status update_setting(Database& db, std::string_view key, int32_t value) {
  Status s = db.run_prepared(sql::kUpdateSetting, sql::update_setting_values(value, key));
  if (s) return s;
  StoreError e = s.fault();
  e.statement = sql::update_setting_text(value, key);
  return Status::failure(std::move(e));
}

StorageResult commit_batch(Database& db, const StorageBatch& batch) {
  StorageResult r;
  if (db.follow_file() == Database::FileChange::Reopened) {
    // A file moved into place is a restore like any other.
    r.file = StorageResult::File::Reopened;
    r.written_behind = true;
    db.set_mixed(false);
  }
  if (db.is_open()) look_behind(db, r);
  if (!db.is_open()) {
    r.file = StorageResult::File::Gone;
    r.error = StoreError("Database is not open");
    return r;
  }
  if (db.mixed()) {
    r.file = StorageResult::File::Mixed;
    r.error = StoreError(texts::kDbMixed);
    return r;
  }
  db.reopen_writable();
  db.prefer_wal();
  r.read_only_reason = db.read_only_reason();
  r.not_wal = !db.in_wal() && r.read_only_reason.empty();
  if (batch.empty()) {
    checkpoint(db, r);
    r.committed = true;
    return r;
  }
  // Bytes copied over the file while the batch went into the log would mix
  // with it: the copy is taken in and the batch stored once more on top.
  for (int attempt = 0;; ++attempt) {
    Status s = db.begin();
    if (s) s = store_rows(db, batch);
    // A failed COMMIT has rolled back already.
    if (s) s = db.commit();
    if (!s) {
      db.rollback();
      r.error = s.fault();
      return r;
    }
    const Database::Foreign f = db.in_wal() ? db.foreign_writes() : Database::Foreign::None;
    r.written_behind = r.written_behind || f == Database::Foreign::Committed;
    if (f != Database::Foreign::Overwritten) break;
    db.set_mixed(true);
    if (attempt > 0 || !take_over_copy(db)) {
      r.file = StorageResult::File::Mixed;
      r.error = StoreError(texts::kDbMixed);
      return r;
    }
    db.set_mixed(false);
    r.file = StorageResult::File::Overwritten;
    r.written_behind = true;
  }
  r.committed = true;
  checkpoint(db, r);
  return r;
}

bool retry_checkpoint(Database& db) {
  if (!db.untouched() || db.mixed()) return true;
  const bool done = db.checkpoint() == Database::Checkpoint::Done;
  db.mark_own_writes();
  return done;
}

}  // namespace netbuf
