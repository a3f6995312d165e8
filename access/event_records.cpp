#include "access/event_records.h"

#include <algorithm>
#include <chrono>

#include "core/log_texts.h"

namespace netbuf {

namespace {

using std::chrono::days;
using std::chrono::last;
using std::chrono::month;
using std::chrono::Sunday;
using std::chrono::sys_days;
using std::chrono::year;
using std::chrono::year_month_day;

// Day of the month of the last Sunday of month m in year y.
int last_sunday(int y, unsigned m) {
  const sys_days d{year{y} / month{m} / Sunday[last]};
  return static_cast<int>(static_cast<unsigned>(year_month_day{d}.day()));
}

int64_t days_since_1970(int y, int m, int d) {
  // An out-of-range day simply counts on from the first of the month.
  const sys_days first{year{y} / month{static_cast<unsigned>(m)} / 1};
  return (first + days{d - 1}).time_since_epoch().count();
}

// The local clock runs at UTC+1, UTC+2 in summer.
constexpr int64_t kWinterOffset = 3600;
constexpr int64_t kSummerOffset = 7200;

}  // namespace

bool is_summer(int y, int m, int d) {
  if (m >= 4 && m <= 9) return true;
  if (m == 3) return d >= last_sunday(y, 3);
  if (m == 10) return d < last_sunday(y, 10);
  return false;
}

int64_t event_time(const LocalTime& t) {
  const int64_t local_ms =
      ((days_since_1970(t.year, t.month, t.day) * 24 + t.hour) * 60 + t.minute) * 60000 +
      int64_t{t.second} * 1000 + t.millisecond;
  // Nearest second, a half to the even one.
  int64_t s = local_ms / 1000;
  int64_t r = local_ms % 1000;
  if (r < 0) {
    r += 1000;
    --s;
  }
  if (r > 500 || (r == 500 && (s & 1) != 0)) ++s;
  return s - (is_summer(t.year, t.month, t.day) ? kSummerOffset : kWinterOffset);
}

namespace {

// The next Id follows the last event decided, stored or still waiting.
uint32_t next_event_id(const BufferState& st) {
  const auto& waiting = st.upkeep.waiting_events;
  const int32_t last = waiting.empty() ? st.event_counter() : waiting.back().id;
  // Bit arithmetic: the counter wraps instead of overflowing.
  return static_cast<uint32_t>(last) + 1u;
}

std::string hh_mm(const LocalTime& t) {
  const auto two = [](int v) { return std::string(v < 10 ? "0" : "") + std::to_string(v); };
  return two(t.hour) + ":" + two(t.minute);
}

}  // namespace

bool store_event(Context& ctx, int entry, int status, int card_index,
                 const std::array<int32_t, 5>& kod, int typ_kodu) {
  BufferState& st = ctx.st;
  Upkeep& up = st.upkeep;
  const LocalTime now = ctx.clock.now();

  EventValues v;
  v.id = static_cast<int32_t>(next_event_id(st));
  v.adr485 = entry >= 1 && entry <= kReaderCount ? st.reader(entry).adr485 : 0;
  v.time = event_time(now);
  v.timezone = st.zone_mask;
  v.typ_kodu = typ_kodu;
  v.kod = kod;
  v.status = status;
  v.code_no = card_index;

  if (up.waiting_events.size() >= kMaxWaitingEvents) {
    if (!up.queue_full_reported)
      up.say(Severity::Error, texts::kQueueFull1 + std::to_string(kMaxWaitingEvents) +
                                  texts::kQueueFull2 + std::to_string(v.id));
    up.queue_full_reported = true;
    return false;
  }
  // Behind older waiting events: the file gets them in the order decided,
  // with the next commit. A new event is worth another try at a file that
  // refused the last one for a lock.
  up.waiting_events.push_back(v);
  if (!up.hold_for_tick) up.storage_hold = false;
  return true;
}

void renumber_waiting_events(BufferState& st) {
  Upkeep& up = st.upkeep;
  ++up.counter_writes;
  uint32_t id = static_cast<uint32_t>(st.event_counter());
  for (EventValues& e : up.waiting_events) e.id = static_cast<int32_t>(++id);
}

void event_batch_stored(Context& ctx, std::size_t n) {
  Upkeep& up = ctx.st.upkeep;
  auto& waiting = up.waiting_events;
  n = std::min(n, waiting.size());
  if (n == 0) return;
  const uint32_t id = static_cast<uint32_t>(waiting[n - 1].id);
  ctx.st.registers[kRegEventCntHi] = Register{static_cast<int32_t>(id >> 16), 0};
  ctx.st.registers[kRegEventCntLo] = Register{static_cast<int32_t>(id & 0xFFFFu), 0};
  up.last_event_at = hh_mm(ctx.clock.now());
  waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(n));
  if (up.events_refused)
    up.say(Severity::Info, texts::kWaitingStored + std::to_string(n) + texts::kWaitingLeft +
                               std::to_string(waiting.size()));
  if (!waiting.empty()) return;
  up.events_refused = false;
  up.queue_full_reported = false;
}

}  // namespace netbuf
