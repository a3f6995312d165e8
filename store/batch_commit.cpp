#include "store/batch_commit.h"

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

}  // namespace

StorageResult commit_batch(Database& db, const StorageBatch& batch) {
  StorageResult r;
  if (db.follow_file() == Database::FileChange::Reopened) r.file = StorageResult::File::Reopened;
  if (!db.is_open()) {
    r.file = StorageResult::File::Gone;
    r.error = "Database is not open";
    return r;
  }
  db.reopen_writable();
  db.prefer_wal();
  r.read_only_reason = db.read_only_reason();
  if (batch.empty()) {
    // What an earlier checkpoint could not copy (a reader was in the way).
    (void)db.run(sql::kCheckpoint);
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
  // The pages go on into net.db itself at once, as they did before WAL: a
  // tool that reads the file alone (a copy, an immutable read) sees what was
  // committed. Readers are not held up by it, and whatever it cannot copy
  // now goes with a later one.
  (void)db.run(sql::kCheckpoint);
  return r;
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
