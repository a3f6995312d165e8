// What the loop hands to the storage path, and what comes back. The loop
// never waits for the disk: it collects what must reach net.db into a batch,
// hands it over, and goes on; the batch is stored as one transaction off the
// loop, and its result is taken on the loop later.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/event_values.h"
#include "core/store_error.h"

namespace netbuf {

struct RegisterRow {
  int adres = 0;
  int32_t val = 0;
};

struct CardRow {
  int index = 0;  // CardTable entry; its number is index + 1
  int32_t typ = 0;
  std::string kod;
  std::string lcd;
  int32_t time_zone = 0;
  int32_t geo_zone = 0;
};

// A setting "Zapisz" stores: its key, its value, and the message shown when
// it fails.
struct SettingRow {
  std::string key;
  int32_t value = 0;
  std::string failure;
};

struct StorageBatch {
  // Decided events in decision order; the counter registers that number them
  // are among `registers`.
  std::vector<EventValues> events;
  std::vector<RegisterRow> registers;
  std::vector<CardRow> cards;
  std::vector<SettingRow> settings;

  bool empty() const {
    return events.empty() && registers.empty() && cards.empty() && settings.empty();
  }
};

struct StorageResult {
  bool committed = false;  // everything of the batch is in the file
  StoreError error;        // why not
  // The path named another file than before (a restore, a re-pointed link),
  // or none at all; the batch went to the file at the path now.
  // Overwritten: its bytes were replaced in place (a `cp` over it) and have
  // been taken in through SQLite. Mixed: replaced by bytes that are no sound
  // database (yet): nothing is written until they are.
  enum class File { Same, Reopened, Gone, Overwritten, Mixed } file = File::Same;
  // Why the file takes no writes (its mode, a read-only mount); empty while
  // it does.
  std::string read_only_reason;
  // Another program wrote to the file since the last batch (a restore, a
  // tool, a copy over it): what netbuf holds in memory is newer and goes
  // back over it.
  bool written_behind = false;
  // The file is not in WAL mode: a read on the loop can meet a lock.
  bool not_wal = false;
  // A reader's snapshot keeps the write-ahead log from being truncated.
  bool wal_held = false;
};

// The path to net.db off the loop. One batch at a time: the loop hands the
// next one over once it has taken the result of the last.
class StoragePath {
 public:
  virtual ~StoragePath() = default;
  virtual void submit(StorageBatch batch) = 0;
  // The result of the batch handed over, once it is stored; nothing before.
  virtual std::optional<StorageResult> take_result() = 0;
  // Waits for it: only where the loop ends anyway (a stop).
  virtual StorageResult wait_result() = 0;
};

}  // namespace netbuf
