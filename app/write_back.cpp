#include "app/write_back.h"

#include <vector>

#include "access/event_records.h"
#include "app/upkeep_tick.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "readerbus/pass_through.h"
#include "service/remote_control.h"
#include "store/database.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

// Marks are cleared before each statement, so two ticks never store the same
// change twice. A statement that fails puts its mark back, and the tick stops
// writing: the database refuses writes as a whole (locked, read-only, full),
// so the rest would fail too and only flood the operator with messages. What
// was not stored stays dirty for a later tick.
class Batch {
 public:
  explicit Batch(Context& ctx) : ctx_(ctx), in_tx_(ctx.db.begin().ok()) {}

  bool failed() const { return failed_; }

  bool store_register(int a) {
    Register& r = ctx_.st.registers[a];
    r.dirty = 0;
    if (ctx_.db.run_prepared(sql::kUpdateRegister, sql::update_register_values(r.val, a))) {
      registers_.push_back(a);
      return true;
    }
    r.dirty = 1;
    failed_ = true;
    report_register(a);
    return false;
  }

  bool store_card(int k) {
    Tcard& c = ctx_.st.cards[k];
    c.dirty = 0;
    if (ctx_.db.run_prepared(
            sql::kUpdateCard,
            sql::update_card_values(c.typ, c.kod, c.lcd, c.time_zone, c.geo_zone, k + 1))) {
      cards_.push_back(k);
      return true;
    }
    c.dirty = 1;
    failed_ = true;
    report_card(k);
    return false;
  }

  // Commits what was stored. When the transaction is lost (SQLite rolled it
  // back after an error, or COMMIT failed) every entry of the batch is marked
  // dirty again, since none of it reached the file.
  void finish() {
    if (!in_tx_) return;
    const bool lost = !ctx_.db.in_transaction() || !ctx_.db.commit().ok();
    if (!lost) return;
    for (int a : registers_) ctx_.st.registers[a].dirty = 1;
    for (int k : cards_) ctx_.st.cards[k].dirty = 1;
    // Every statement went through but the file refused the commit (a reader
    // holding its lock, a file made read-only): still one message.
    if (failed_) return;
    if (!registers_.empty())
      report_register(registers_.front());
    else if (!cards_.empty())
      report_card(cards_.front());
  }

 private:
  void report_register(int a) {
    ctx_.op.message_box(std::string(texts::kRegisterWriteFailed1) + dec(a) +
                        texts::kRegisterWriteFailed2 + dec(ctx_.st.registers[a].val) +
                        texts::kRegisterWriteFailed3);
  }

  void report_card(int k) { ctx_.op.message_box(texts::kCardWriteFailed + dec(k)); }

  Context& ctx_;
  bool in_tx_;
  bool failed_ = false;
  std::vector<int> registers_;
  std::vector<int> cards_;
};

void write_back_registers(Batch& batch, Context& ctx) {
  for (int a = 0; a < kRegisterCount; ++a)
    if (ctx.st.registers[a].dirty == 1 && !batch.store_register(a)) return;
}

// Every dirty card within the card count, in the tick's transaction: a card
// the PC uploaded or revoked is in the file within one tick, so a power cut
// cannot bring an old card back. The progress bar shows the position of the last dirty
// card stored.
void write_back_cards(Batch& batch, Context& ctx) {
  const int32_t n = ctx.st.reg(kRegCardCount);
  if (n < 0) return;
  const int last = n < kCardCount ? n : kCardCount - 1;
  // The bar shows only where the tick ended, so it is set once, not per entry.
  int gauge = 0;
  for (int k = 0; k <= last; ++k) {
    if (ctx.st.cards[k].dirty != 1) continue;
    if (!batch.store_card(k)) break;
    gauge = n > 0 ? static_cast<int>(static_cast<int64_t>(k) * 100 / n) : 0;
  }
  ctx.status.show_card_store_progress(gauge);
}

}  // namespace

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
  Batch batch(ctx);
  write_back_registers(batch, ctx);
  if (!batch.failed()) write_back_cards(batch, ctx);
  batch.finish();
}

void store_everything(Context& ctx) {
  if (!ctx.db.is_open()) return;
  // Events still waiting get one more try, behind nothing else.
  ctx.db.reopen_writable();
  store_waiting_events(ctx);
  Batch batch(ctx);
  write_back_registers(batch, ctx);
  for (int k = 0; k < kCardCount && !batch.failed(); ++k)
    if (ctx.st.cards[k].dirty == 1) batch.store_card(k);
  batch.finish();
}

}  // namespace netbuf
