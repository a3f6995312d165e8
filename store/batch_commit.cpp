#include "store/batch_commit.h"

#include "core/log_texts.h"
#include "store/database.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

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
    if (Status s = db.run(r.sql); !s) return s;
  return {};
}

// What another program did to the file since the last batch. A file
// overwritten in place is followed only when the log held nothing it lacked;
// otherwise it stays refused until a write through SQLite (a restore) makes
// it whole again.
void look_behind(Database& db, StorageResult& r, bool& mixed) {
  switch (db.foreign_writes()) {
    case Database::Foreign::None:
      break;
    case Database::Foreign::Committed:
      r.written_behind = true;
      mixed = false;
      break;
    case Database::Foreign::Overwritten:
      if (mixed || !db.log_copied()) {
        mixed = true;
        break;
      }
      try {
        db.reopen();
        r.file = StorageResult::File::Overwritten;
        r.written_behind = true;
      } catch (const std::exception&) {
        r.file = StorageResult::File::Gone;
      }
      break;
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

StorageResult commit_batch(Database& db, const StorageBatch& batch) {
  StorageResult r;
  if (db.follow_file() == Database::FileChange::Reopened) {
    // A file moved into place is a restore like any other.
    r.file = StorageResult::File::Reopened;
    r.written_behind = true;
    db.set_mixed(false);
  }
  if (db.is_open()) {
    bool mixed = db.mixed();
    look_behind(db, r, mixed);
    db.set_mixed(mixed);
  }
  if (!db.is_open()) {
    r.file = StorageResult::File::Gone;
    r.error = "Database is not open";
    return r;
  }
  if (db.mixed()) {
    r.file = StorageResult::File::Mixed;
    r.error = texts::kDbMixed;
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
  Status s = db.begin();
  if (s) s = store_rows(db, batch);
  // A failed COMMIT has rolled back already.
  if (s) s = db.commit();
  if (!s) {
    db.rollback();
    r.error = s.error();
    return r;
  }
  r.committed = true;
  // Bytes copied over the file while the batch went into the log: copying
  // the log on would mix the two, and a restore drops the batch with them,
  // so it counts as not stored.
  if (db.in_wal()) {
    const Database::Foreign f = db.foreign_writes();
    if (f == Database::Foreign::Overwritten) {
      db.set_mixed(true);
      r.committed = false;
      r.file = StorageResult::File::Mixed;
      r.error = texts::kDbMixed;
      return r;
    }
    r.written_behind = r.written_behind || f == Database::Foreign::Committed;
  }
  checkpoint(db, r);
  return r;
}

bool retry_checkpoint(Database& db) {
  if (!db.untouched() || db.mixed()) return true;
  const bool done = db.checkpoint() == Database::Checkpoint::Done;
  db.mark_own_writes();
  return done;
}

void SyncStorage::submit(StorageBatch batch) {
  result_ = commit_batch(db_, batch);
}

std::optional<StorageResult> SyncStorage::take_result() {
  std::optional<StorageResult> r;
  r.swap(result_);
  return r;
}

StorageResult SyncStorage::wait_result() {
  return take_result().value_or(StorageResult{});
}

}  // namespace netbuf
