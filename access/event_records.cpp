#include "access/event_records.h"

#include <chrono>

#include "core/log_texts.h"
#include "store/sql_texts.h"

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

bool store_event(Context& ctx, int entry, int status, int card_index,
                 const std::array<int32_t, 5>& kod, int typ_kodu) {
  BufferState& st = ctx.st;
  const LocalTime now = ctx.clock.now();

  // Bit arithmetic: the counter wraps instead of overflowing.
  const uint32_t id = static_cast<uint32_t>(st.event_counter()) + 1u;
  const int32_t hi = static_cast<int32_t>(id >> 16);
  const int32_t lo = static_cast<int32_t>(id & 0xFFFFu);

  sql::EventValues v;
  v.id = static_cast<int32_t>(id);
  v.adr485 = entry >= 1 && entry <= kReaderCount ? st.reader(entry).adr485 : 0;
  v.time = event_time(now);
  v.timezone = st.zone_mask;
  v.typ_kodu = typ_kodu;
  v.kod = kod;
  v.status = status;
  v.code_no = card_index;

  // The row and the counter that numbers it go to the file together, so a
  // restart can never hand out an Id that is already stored.
  bool stored = ctx.db.begin();
  if (stored) {
    try {
      ctx.db.RunSql(sql::insert_event(v));
      ctx.db.RunSql(sql::update_register(hi, kRegEventCntHi));
      ctx.db.RunSql(sql::update_register(lo, kRegEventCntLo));
      stored = ctx.db.commit();
    } catch (const ESQLiteException&) {
      ctx.db.rollback();
      stored = false;
    }
  }
  if (!stored) {
    ctx.op.message_box(texts::kEventWriteFailed);
    return false;
  }

  // Already in the file: nothing left for the write-back.
  st.registers[kRegEventCntHi] = Register{hi, 0};
  st.registers[kRegEventCntLo] = Register{lo, 0};
  return true;
}

}  // namespace netbuf
