// What keeps an unattended run whole: the ports it should hold, the events the
// database has not taken yet, the readers that stopped answering, and where
// the journal lines go. Held in the buffer state, so every handler reaches it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>

#include "core/event_values.h"
#include "core/platform.h"

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

  // Events decided but not yet in net.db, oldest first, with their Ids.
  std::deque<EventValues> waiting_events;
  bool events_refused = false;  // the operator was told; cleared once all are in
  bool queue_full_reported = false;
  std::string last_event_at;  // HH:MM of the last stored event

  // Per RS485 address: polls since its last good answer, and whether it was
  // reported as not answering.
  std::array<uint8_t, 256> unanswered{};
  std::array<bool, 256> silent{};

  void say(Severity s, const std::string& text) {
    if (journal) journal->line(s, text);
  }
};

}  // namespace netbuf
