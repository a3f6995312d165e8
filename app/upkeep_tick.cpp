#include "app/upkeep_tick.h"

#include <algorithm>
#include <cstdio>

#include "app/storage_feed.h"
#include "core/figures_snapshot.h"
#include "core/log_texts.h"
#include "store/database.h"

namespace netbuf {

namespace {

const char* const kDot = " \u00b7 ";

void keep_server(Context& ctx, TcpEndpoint& server, WantedPort& want, const char* label) {
  if (!want.wanted || server.is_listening()) return;
  const std::string name = label + std::to_string(want.number);
  try {
    server.open(want.number);
    note_port(ctx, want, name, "");
  } catch (const std::exception& e) {
    note_port(ctx, want, name, e.what());
  }
}

void keep_line(Context& ctx) {
  Upkeep& up = ctx.st.upkeep;
  WantedPort& want = up.serial;
  if (!want.wanted) return;
  if (ctx.serial.is_open()) {
    // Opened again from the window's port picker.
    note_port(ctx, want, line_name(ctx), "");
    return;
  }
  // A line that went away while open was reported by the line itself.
  const bool just_lost = want.reported && want.failure.empty();
  try {
    ctx.serial.open();
    note_port(ctx, want, line_name(ctx), "");
    if (up.poll_on_open) ctx.timers.set_poll_timer(true);
    up.poll_on_open = false;
  } catch (const std::exception& e) {
    if (just_lost)
      want.failure = serial_open_reason(e);
    else
      note_port(ctx, want, line_name(ctx), serial_open_reason(e));
  }
}

std::string plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void note_port(Context& ctx, WantedPort& want, const std::string& name,
               const std::string& failure) {
  if (want.reported && want.failure == failure) return;
  want.reported = true;
  want.failure = failure;
  if (failure.empty())
    ctx.st.upkeep.say(Severity::Info, name + texts::kJournalOpen);
  else
    ctx.st.upkeep.say(Severity::Warning, name + texts::kJournalCannotOpen + failure);
}

std::string serial_open_reason(const std::exception& e) {
  if (const auto* open = dynamic_cast<const SerialOpenError*>(&e)) return open->reason();
  return e.what();
}

std::string line_name(const Context& ctx) {
  const std::string dev = ctx.serial.device();
  return "COM" + std::to_string(ctx.serial.port_number()) + (dev.empty() ? "" : " " + dev);
}

void keep_up(Context& ctx) {
  Upkeep& up = ctx.st.upkeep;
  keep_server(ctx, ctx.pc, up.pc, texts::kJournalPcPort);
  keep_server(ctx, ctx.service, up.service, texts::kJournalServicePort);
  keep_line(ctx);
}

std::string status_text(const Context& ctx) {
  const BufferState& st = ctx.st;
  const Upkeep& up = st.upkeep;
  std::string s = up.instance.empty() ? "" : up.instance + kDot;
  s += "PC ";
  if (ctx.pc.connection_count() > 0)
    s += ctx.pc.remote_address(0);
  else
    s += ctx.pc.is_listening() ? "none" : "port closed";
  s += kDot + line_name(ctx) + (ctx.serial.is_open() ? " open" : " closed");
  int answering = 0;
  const int count = std::min(st.reader_count, kReaderCount);
  for (int e = 1; e <= count; ++e)
    answering += !up.silent[static_cast<uint8_t>(st.readers[e].adr485)];
  s += kDot + std::string("readers answering ") + std::to_string(answering) + "/" +
       std::to_string(std::max(count, 0));
  // Of the answers awaited lately: a share, not a count since start, so a
  // repaired cable shows within minutes.
  if (const double crc = recent_crc_error_percent(st); crc >= 0) {
    char share[32];
    std::snprintf(share, sizeof share, "%.1f %% CRC errors", crc);
    s += kDot + std::string(share);
  }
  if (const int32_t last = st.event_counter(); last != 0)
    s += kDot + std::string("last event ") + std::to_string(last) +
         (up.last_event_at.empty() ? "" : " at " + up.last_event_at);
  s += kDot;
  // "db ok" only while the file takes what netbuf hands it, in time.
  if (up.db_mixed)
    s += "db overwritten, refusing writes";
  else if (up.db_gone || !ctx.db.is_open())
    s += "db closed";
  else if (!up.db_read_only_reason.empty())
    s += "db read-only";
  else if (up.db_refusing)
    s += up.pointer_refused ? "db refusing writes, read pointer not stored" : "db refusing writes";
  else if (up.slow_commit_reported)
    s += "db slow";
  else
    s += "db ok";
  if (up.db_not_wal) s += kDot + std::string("db not in WAL");
  if (up.wal_held) s += kDot + std::string("wal held by a reader");
  s += kDot + plural(up.waiting_events.size(), "event", "events") + " waiting";
  s += kDot + plural(items_waiting(ctx), "item", "items") + " waiting for storage";
  if (!up.last_commit_at.empty()) s += kDot + std::string("last commit ") + up.last_commit_at;
  if (up.service.wanted) {
    s += kDot +
         plural(static_cast<std::size_t>(st.remote_openings), "remote opening", "remote openings");
    if (up.remote_allowed.empty()) s += kDot + std::string(texts::kOpenToAll);
  }
  return s;
}

std::string unstored(const Context& ctx) {
  const BufferState& st = ctx.st;
  std::size_t regs = 0, cards = 0;
  for (const Register& r : st.registers) regs += r.dirty == 1;
  for (const CardEntry& c : st.cards) cards += c.dirty == 1;
  const std::size_t events = st.upkeep.waiting_events.size();
  std::string s;
  const auto add = [&s](std::size_t n, const char* one, const char* many) {
    if (n == 0) return;
    if (!s.empty()) s += ", ";
    s += plural(n, one, many);
  };
  add(regs, "register", "registers");
  add(cards, "card", "cards");
  add(events, "event", "events");
  return s;
}

}  // namespace netbuf
