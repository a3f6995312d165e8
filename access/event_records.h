#pragma once
#include <array>
#include <cstdint>

#include "core/context.h"

namespace netbuf {
// Stores one event row and advances the event counter (registers 804/805).
// Returns false when the row could not be stored (message box shown).
bool store_event(Context& ctx, int entry, int status, int card_index,
                 const std::array<int32_t, 5>& kod, int typ_kodu);
// Seconds since 1970-01-01 00:00 UTC for a local time on UTC+1 / UTC+2 in summer.
int64_t event_time(const LocalTime& t);
bool is_summer(int year, int month, int day);
}  // namespace netbuf
