#include "app/storage_feed.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "access/event_records.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "store/database.h"

namespace netbuf {

namespace {

// One transaction takes at most this many events, so a long outage drains
// in commits of bounded size, one after the other.
constexpr std::size_t kEventsPerBatch = 10000;
// A commit that runs longer than this is reported.
constexpr int64_t kSlowCommitMs = 10000;
// Commits that carry nothing but a moved read pointer come at most this
// often: a PC reading a backlog back to back would otherwise turn every
// answer into a commit of its own. After a crash the PC may get again what
// it was sent in this long at most.
constexpr int64_t kPointerSpacingMs = 10;

// HH:MM:SS of a local time.
std::string hh_mm_ss(const LocalTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
}

void add_register(StorageBatch& b, Upkeep::Batch& out, BufferState& st, int a) {
  Register& r = st.registers[a];
  r.dirty = 0;
  b.registers.push_back(RegisterRow{a, r.val});
  out.registers.push_back(a);
  out.pointer = out.pointer || a == kRegReadPtrHi || a == kRegReadPtrLo;
}

// Every dirty card within the card count (at a stop every one); the progress
// bar shows the position of the last one.
void add_cards(Context& ctx, StorageBatch& b, Upkeep::Batch& out) {
  BufferState& st = ctx.st;
  const int32_t n = st.reg(kRegCardCount);
  if (n < 0 && !st.upkeep.every_card) return;
  const int last = st.upkeep.every_card ? kCardCount - 1 : std::min<int32_t>(n, kCardCount - 1);
  int gauge = 0;
  for (int k = 0; k <= last; ++k) {
    CardEntry& c = st.cards[k];
    if (c.dirty != 1) continue;
    c.dirty = 0;
    b.cards.push_back(
        CardRow{k, c.typ, c.kod, c.lcd.empty() ? "---" : c.lcd, c.time_zone, c.geo_zone});
    out.cards.push_back(k);
    gauge = n > 0 ? static_cast<int>(static_cast<int64_t>(k) * 100 / n) : 0;
  }
  if (!st.upkeep.every_card) ctx.status.show_card_store_progress(gauge);
}

// What waits, as one batch; nothing when there is nothing to hand over.
std::optional<StorageBatch> collect(Context& ctx) {
  BufferState& st = ctx.st;
  Upkeep& up = st.upkeep;
  if (up.storage_hold) return std::nullopt;
  up.pointer_due_ms = -1;
  const bool pointer_only = up.waiting_events.empty() && !up.write_back_due && !up.file_check_due &&
                            up.settings_to_store.empty();
  const int64_t now = ctx.clock.monotonic_ms();
  if (pointer_only && now - up.last_submit_ms < kPointerSpacingMs) {
    if (st.registers[kRegReadPtrHi].dirty == 1 || st.registers[kRegReadPtrLo].dirty == 1)
      up.pointer_due_ms = up.last_submit_ms + kPointerSpacingMs;
    return std::nullopt;
  }
  StorageBatch b;
  Upkeep::Batch out;

  const std::size_t n = std::min(up.waiting_events.size(), kEventsPerBatch);
  b.events.assign(up.waiting_events.begin(),
                  up.waiting_events.begin() + static_cast<std::ptrdiff_t>(n));
  out.events = n;
  out.counter_writes = up.counter_writes;

  // The counter goes with the events it numbers, never on its own ahead of
  // them; a counter the PC wrote goes with the write-back.
  const auto counter = [n](int a) { return n > 0 && (a == kRegEventCntHi || a == kRegEventCntLo); };
  if (up.write_back_due) {
    for (int a = 0; a < kRegisterCount; ++a)
      if (st.registers[a].dirty == 1 && !counter(a)) add_register(b, out, st, a);
    add_cards(ctx, b, out);
  } else {
    // The read pointer goes with the first commit after its answer.
    for (int a : {kRegReadPtrHi, kRegReadPtrLo})
      if (st.registers[a].dirty == 1) add_register(b, out, st, a);
  }
  if (n > 0) {
    const auto last = static_cast<uint32_t>(b.events.back().id);
    for (int a : {kRegEventCntHi, kRegEventCntLo}) {
      st.registers[a].dirty = 0;
      out.registers.push_back(a);
    }
    b.registers.push_back(RegisterRow{kRegEventCntHi, static_cast<int32_t>(last >> 16)});
    b.registers.push_back(RegisterRow{kRegEventCntLo, static_cast<int32_t>(last & 0xFFFFu)});
  }
  b.settings = std::move(up.settings_to_store);
  up.settings_to_store.clear();
  out.settings = b.settings;

  const bool look = up.file_check_due;
  up.write_back_due = false;
  up.file_check_due = false;
  if (b.empty() && !look) return std::nullopt;
  out.out = true;
  out.since_ms = now;
  up.last_submit_ms = now;
  up.batch = std::move(out);
  return b;
}

// Another program wrote to the file: what netbuf holds is newer than what
// it wrote (a restored backup, a copy over it), so every register and card
// goes back over it with the next batch. The counter stays netbuf's, so no
// Id is handed out twice.
void write_everything_back(Context& ctx) {
  BufferState& st = ctx.st;
  for (Register& r : st.registers) r.dirty = 1;
  for (CardEntry& c : st.cards) c.dirty = 1;
  st.upkeep.write_back_due = true;
}

void note_file(Context& ctx, const StorageResult& r) {
  Upkeep& up = ctx.st.upkeep;
  const std::string& path = ctx.db.path();
  up.db_not_wal = r.not_wal;
  up.wal_held = r.wal_held;
  if (r.file == StorageResult::File::Mixed) {
    if (!up.db_mixed) up.say(Severity::Error, path + " " + texts::kDbMixed);
    up.db_mixed = true;
    // The readout would read the same mix: it fails until the file is whole.
    ctx.db.close();
    return;
  }
  if (up.db_mixed && r.file != StorageResult::File::Gone) ctx.db.follow_file();
  up.db_mixed = false;
  if (r.file == StorageResult::File::Reopened) {
    up.say(Severity::Warning, path + texts::kDbReplaced);
    up.db_gone = false;
    // The event readout follows the path too.
    ctx.db.follow_file();
  } else if (r.file == StorageResult::File::Overwritten) {
    up.say(Severity::Warning, path + texts::kDbOverwritten);
    // The readout's cached pages are of the old file.
    try {
      ctx.db.reopen();
    } catch (const std::exception&) {
    }
  } else if (r.file == StorageResult::File::Gone) {
    if (!up.db_gone) up.say(Severity::Error, path + texts::kDbGone);
    up.db_gone = true;
    return;
  }
  if (r.written_behind) {
    if (r.file == StorageResult::File::Same)
      up.say(Severity::Warning, path + texts::kDbWrittenBehind);
    write_everything_back(ctx);
  }
  if (r.read_only_reason == up.db_read_only_reason) return;
  if (r.read_only_reason.empty())
    up.say(Severity::Info, path + texts::kDbWritable);
  else
    up.say(Severity::Warning, path + texts::kDbReadOnly + r.read_only_reason);
  up.db_read_only_reason = r.read_only_reason;
}

void report_refused(Context& ctx, const Upkeep::Batch& out, const StorageResult& r) {
  Upkeep& up = ctx.st.upkeep;
  BufferState& st = ctx.st;
  if (out.events > 0 && !up.events_refused) {
    ctx.op.message_box(texts::kEventWriteFailed);
    up.events_refused = true;
  }
  if (out.pointer && !up.pointer_refused) {
    up.say(Severity::Error, texts::kPointerNotStored + r.error.text());
    up.pointer_refused = true;
  }
  // One message per refused write-back (a tick's worth), not one per row:
  // the file refuses as a whole.
  {
    const auto reg = std::find_if(out.registers.begin(), out.registers.end(), [](int a) {
      return a != kRegEventCntHi && a != kRegEventCntLo && a != kRegReadPtrHi && a != kRegReadPtrLo;
    });
    if (reg != out.registers.end())
      ctx.op.message_box(std::string(texts::kRegisterWriteFailed1) + dec(*reg) +
                         texts::kRegisterWriteFailed2 + dec(st.registers[*reg].val) +
                         texts::kRegisterWriteFailed3);
    else if (!out.cards.empty())
      ctx.op.message_box(texts::kCardWriteFailed + dec(out.cards.front()));
  }
  // Settings are not kept for another try: the operator presses "Zapisz" again.
  for (const SettingRow& s : out.settings) ctx.op.message_box(s.failure);
  up.db_refusing = true;
}

void take(Context& ctx, const StorageResult& r) {
  BufferState& st = ctx.st;
  Upkeep& up = st.upkeep;
  Upkeep::Batch out = std::move(up.batch);
  up.batch = Upkeep::Batch{};
  note_file(ctx, r);
  // A batch that only looked at the file is no commit.
  if (out.events > 0 || !out.registers.empty() || !out.cards.empty() || !out.settings.empty())
    st.figures.commit_ended(r.committed, ctx.clock.monotonic_ms() - out.since_ms);
  if (up.slow_commit_reported) {
    const int64_t s = (ctx.clock.monotonic_ms() - out.since_ms) / 1000;
    up.say(Severity::Info, texts::kCommitDone + std::to_string(s) + " s");
    up.slow_commit_reported = false;
  }

  if (!r.committed) {
    // Nothing of it reached the file: marked again, and the events wait on.
    for (int a : out.registers) st.registers[a].dirty = 1;
    for (int k : out.cards) st.cards[k].dirty = 1;
    report_refused(ctx, out, r);
    up.storage_hold = true;
    // A lock another program holds goes soon, and a new event is worth
    // another try; a full or failing disk is tried again with the tick.
    up.hold_for_tick = r.error.disk_trouble();
    return;
  }
  up.last_commit_at = hh_mm_ss(ctx.clock.now());
  up.db_refusing = false;
  up.pointer_refused = false;
  // Numbered before the PC wrote the counter: they wait on, numbered after
  // it, and go to the file again with their new Ids.
  if (out.counter_writes == up.counter_writes) {
    event_batch_stored(ctx, out.events);
    if (out.events > 0) ctx.status.show_event_counters(st.event_counter(), st.event_read_pointer());
  } else
    for (int a : {kRegEventCntHi, kRegEventCntLo}) st.registers[a].dirty = 1;
}

// The write-back is due now, and whatever held storage back lets go.
void release_for_write_back(Upkeep& up) {
  up.write_back_due = true;
  up.storage_hold = false;
  up.hold_for_tick = false;
}

}  // namespace

void pump_storage(Context& ctx) {
  Upkeep& up = ctx.st.upkeep;
  for (;;) {
    if (up.batch.out) {
      std::optional<StorageResult> r = ctx.storage.take_result();
      if (!r) return;
      take(ctx, *r);
    }
    std::optional<StorageBatch> b = collect(ctx);
    if (!b) return;
    ctx.storage.submit(std::move(*b));
  }
}

void storage_tick(Context& ctx) {
  Upkeep& up = ctx.st.upkeep;
  release_for_write_back(up);
  up.file_check_due = true;
  if (up.batch.out && !up.slow_commit_reported) {
    const int64_t ms = ctx.clock.monotonic_ms() - up.batch.since_ms;
    if (ms > kSlowCommitMs) {
      up.say(Severity::Warning, texts::kCommitSlow1 + std::to_string(ms / 1000) +
                                    texts::kCommitSlow2 + std::to_string(items_waiting(ctx)) +
                                    " waiting");
      up.slow_commit_reported = true;
    }
  }
  pump_storage(ctx);
}

bool flush_storage(Context& ctx) {
  Upkeep& up = ctx.st.upkeep;
  release_for_write_back(up);
  up.every_card = true;
  for (;;) {
    if (up.batch.out) take(ctx, ctx.storage.wait_result());
    if (up.storage_hold) break;
    std::optional<StorageBatch> b = collect(ctx);
    if (!b) break;
    ctx.storage.submit(std::move(*b));
    // Whatever the tick had left is in this batch already.
    up.write_back_due = true;
  }
  up.every_card = false;
  return !up.storage_hold;
}

std::size_t items_waiting(const Context& ctx) {
  const BufferState& st = ctx.st;
  const Upkeep& up = st.upkeep;
  std::size_t n = up.waiting_events.size() + up.settings_to_store.size() + up.batch.settings.size();
  for (const Register& r : st.registers) n += r.dirty == 1;
  for (const CardEntry& c : st.cards) n += c.dirty == 1;
  n += up.batch.registers.size() + up.batch.cards.size();
  return n;
}

}  // namespace netbuf
