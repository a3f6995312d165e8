// What keeps an unattended run whole: the ports it should hold, the events the
// database has not taken yet, the readers that stopped answering, and where
// the journal lines go. Held in the buffer state, so every handler reaches it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/event_values.h"
#include "core/platform.h"
#include "core/storage_batch.h"

namespace netbuf {

// One port or line that should be open: its last reported state, so a change
// is one line and a retry that fails the same way is none.
struct WantedPort {
  bool wanted = false;
  int number = 0;
  bool reported = false;
  std::string failure;  // empty while open
};

inline constexpr std::size_t kMaxWaitingEvents = 100000;
// Polls without a good answer before a reader counts as not answering.
inline constexpr int kSilentPolls = 10;

struct Upkeep {
  Journal* journal = nullptr;  // none in unit tests

  // This line's name when a box runs several (empty: the only one), and who
  // may use the two ports (empty: every address).
  std::string instance;
  std::string pc_allowed;
  std::string remote_allowed;

  WantedPort pc;
  WantedPort service;
  WantedPort serial;
  // Start-up could not open the line and switched polling off; it comes on
  // again with the line.
  bool poll_on_open = false;

  // Events decided but not yet in net.db, oldest first, with their Ids; the
  // first of them may be on their way (the batch out).
  std::deque<EventValues> waiting_events;
  bool events_refused = false;  // the operator was told; cleared once all are in
  bool queue_full_reported = false;
  std::string last_event_at;  // HH:MM of the last stored event
  // Counts the PC's writes to the event counter: events on their way when
  // it changes were numbered before the PC's counter and are numbered again.
  uint32_t counter_writes = 0;

  // The batch handed to the storage path and not yet taken back: what it
  // holds, so a failure can put it back.
  struct Batch {
    bool out = false;
    std::size_t events = 0;  // the first `events` waiting events
    uint32_t counter_writes = 0;
    std::vector<int> registers;
    std::vector<int> cards;
    std::vector<SettingRow> settings;
    bool pointer = false;  // the read pointer is among the registers
    int64_t since_ms = 0;
  } batch;
  // The write-back tick asked for every changed register and card (at a
  // stop: every card, whatever the card count says).
  bool write_back_due = false;
  bool every_card = false;
  // The tick asks the storage path to look at the file even with nothing to store.
  bool file_check_due = false;
  std::vector<SettingRow> settings_to_store;
  // After a refused batch nothing is handed over until a new event, the
  // tick or a stop.
  bool storage_hold = false;
  // The refusal was the disk's (full, failing): only the tick or a stop
  // lets the next batch go.
  bool hold_for_tick = false;
  // When the last batch was handed over, and when a moved read pointer that
  // waits for the spacing between pointer commits is due (-1: none waits).
  int64_t last_submit_ms = -1000000;
  int64_t pointer_due_ms = -1;

  // The file as the storage path last found it.
  bool db_refusing = false;
  bool db_gone = false;
  bool db_mixed = false;    // overwritten in place past its log: refused
  bool db_not_wal = false;  // a read on the loop may meet a lock
  bool wal_held = false;    // a reader keeps the log from being truncated
  std::string db_read_only_reason;
  bool pointer_refused = false;
  bool slow_commit_reported = false;
  std::string last_commit_at;  // HH:MM:SS the last commit ended

  // Per RS485 address: polls since its last good answer, and whether it was
  // reported as not answering.
  std::array<uint8_t, 256> unanswered{};
  std::array<bool, 256> silent{};

  void say(Severity s, const std::string& text) {
    if (journal) journal->line(s, text);
  }
};

}  // namespace netbuf
