#pragma once
#include <array>
#include <cstdint>

#include "core/context.h"

namespace netbuf {
// Stores one event row and advances the event counter (registers 804/805).
// Returns false when the row could not be stored now: it then waits in
// memory with its Id (message box shown once per outage), unless the waiting
// queue is full, when it is lost.
bool store_event(Context& ctx, int entry, int status, int card_index,
                 const std::array<int32_t, 5>& kod, int typ_kodu);
// Stores waiting events, oldest first, at most `limit` of them, each with
// the counter it advances; true when none is left waiting.
bool store_waiting_events(Context& ctx, std::size_t limit = kMaxWaitingEvents);
// Seconds since 1970-01-01 00:00 UTC for a local time on UTC+1 / UTC+2 in summer.
int64_t event_time(const LocalTime& t);
bool is_summer(int year, int month, int day);
}  // namespace netbuf
