#include "app/write_back.h"

#include "app/storage_feed.h"
#include "app/upkeep_tick.h"
#include "readerbus/pass_through.h"
#include "readerbus/reader_health.h"
#include "service/remote_control.h"

namespace netbuf {

void compute_zone_mask(Context& ctx) {
  const LocalTime t = ctx.clock.now();
  const int d = t.day_of_week;
  const int32_t m = t.hour * 60 + t.minute;
  uint32_t mask = 0;
  for (int z = 0; z < 32; ++z) {
    const int r = kRegTimeZones + 14 * z + 2 * (d - 1);
    const int32_t start = ctx.st.reg(r);
    const int32_t end = ctx.st.reg(r + 1);
    if (start <= m && m < end) mask |= 1u << z;
  }
  ctx.st.zone_mask = mask;
}

void on_write_back_tick(Context& ctx) {
  compute_zone_mask(ctx);
  service_supervision_tick(ctx);
  pass_through_tick(ctx.st);

  keep_up(ctx);
  report_line_shares(ctx);
  // Every changed register and card goes to the storage path, in one
  // transaction with whatever else waits: a card the PC uploaded or revoked
  // is in the file within one tick, so a power cut cannot bring an old card
  // back.
  storage_tick(ctx);
}

bool store_everything(Context& ctx) {
  return flush_storage(ctx);
}

}  // namespace netbuf
