#pragma once
#include <array>
#include <cstdint>

#include "core/context.h"

namespace netbuf {
// Numbers one event and queues it for net.db behind the events still
// waiting; the storage path stores it with the counter (registers 804/805)
// that the PC then sees. Returns false when the queue is full and the event
// is lost.
bool store_event(Context& ctx, int entry, int status, int card_index,
                 const std::array<int32_t, 5>& kod, int typ_kodu);
// The PC wrote the event counter: the events not yet stored follow the
// counter it wrote, so each reaches the PC once and none is skipped.
void renumber_waiting_events(BufferState& st);
// The first n waiting events are in the file with their counter.
void event_batch_stored(Context& ctx, std::size_t n);
// Seconds since 1970-01-01 00:00 UTC for a local time on UTC+1 / UTC+2 in summer.
int64_t event_time(const LocalTime& t);
bool is_summer(int year, int month, int day);
}  // namespace netbuf
