#include "service/remote_control.h"

#include <algorithm>
#include <limits>
#include <span>

#include "core/hex_text.h"
#include "core/log_texts.h"
#include "core/text_escape.h"
#include "modbus/byte_span.h"
#include "service/command_parse.h"
#include "service/command_stream.h"

namespace netbuf {

namespace {

constexpr int kIdleTicks = 100;  // supervision ticks of 3 s: 300 s after the last command
// A client that keeps sending what is not a command is talking to the wrong
// port, or means harm; either way it is shown the door.
constexpr int kMaxMalformed = 10;
constexpr uint8_t kAnswer[] = {'O', 'K'};
// A controller opens a door now and then; fifty commands a second on one
// connection is a flood, and what comes faster is read and dropped, so it
// costs the doors and the other clients nothing.
constexpr double kCommandsPerSecond = 50;
constexpr double kCommandBurst = 50;

int reader_for(const BufferState& st, int64_t adres) {
  // No reader can carry an address outside 32 bits.
  if (adres < std::numeric_limits<int32_t>::min() || adres > std::numeric_limits<int32_t>::max())
    return 0;
  return st.find_reader(static_cast<int>(adres));
}

// The journal's account of a command carried out: every remote opening
// leaves one, whatever the monitor shows; a flood's as one line and a count.
void trace(Context& ctx, int i, const RemoteCommand& cmd, const char* outcome) {
  std::string name = cmd.sender;
  if (name.ends_with(',')) name.pop_back();
  const std::string line = texts::kRemoteOpening + ctx.service.remote_address(i) + ": name " +
                           escape_controls(name) + ", reader " + dec(cmd.adres) + ", typ " +
                           dec(cmd.typ) + ", rozkaz " + dec(cmd.rozkaz) + outcome;
  for (const std::string& l : ctx.st.remote_lines.add(line, ctx.clock.monotonic_ms() / 1000))
    ctx.st.upkeep.say(Severity::Info, l);
}

// What a command does: the relay of the reader it names, and its log lines.
// Returns whether it named a reader, which is what counts as activity.
bool carry_out(Context& ctx, int i, const RemoteCommand& cmd) {
  // A command for an address no configured reader has is still answered,
  // but fires nothing.
  const int e = reader_for(ctx.st, cmd.adres);
  const char* outcome = texts::kRemoteNoReader;
  if (e > 0) {
    ReaderEntry& r = ctx.st.reader(e);
    // The door is opening already: one more frame would only take a poll's turn.
    if (r.remote_hold || r.action == kActionRelay || r.sent == kActionRelay) {
      outcome = texts::kRemoteAbsorbed;
    } else {
      command_reader(r, kActionRelay);
      r.remote_hold = 1;
      outcome = "";
    }
  }
  ++ctx.st.remote_openings;
  ctx.st.figures.remote_command(e == 0             ? RemoteResult::NoReader
                                : *outcome == '\0' ? RemoteResult::Opened
                                                   : RemoteResult::AlreadyPending);
  trace(ctx, i, cmd, outcome);
  ctx.log.line_if(LogCategory::Events,
                  texts::kRemoteRelay + cmd.sender + texts::kRemoteRelayAt + dec(cmd.adres));
  ctx.log.line_if(LogCategory::Tcp, texts::kRemoteControl + cmd.sender + " " + cmd.text +
                                        " typ: " + dec(cmd.typ) + " rozkaz:" + dec(cmd.rozkaz) +
                                        " adres:" + dec(cmd.adres));
  return e > 0;
}

// Everything connection i has sent so far goes unread and unanswered.
void drop_waiting(Context& ctx, int i) {
  ctx.st.figures.remote_command(RemoteResult::OverRate);
  for (int k = 0; k < 64 && ctx.service.bytes_waiting(i) > 0; ++k)
    if (ctx.service.receive(i, ctx.st.service_rx) <= 0) break;
  const std::string line = texts::kRemoteDropped + ctx.service.remote_address(i) + texts::kOverRate;
  for (const std::string& l : ctx.st.remote_drops.offer(line, ctx.clock.monotonic_ms()))
    ctx.st.upkeep.say(Severity::Warning, l);
}

// One command of connection i: parsed, carried out, answered. A malformed one
// is reported and counted against its own connection only, so one client
// sending garbage cannot starve the rest. False once its connection is closed.
bool run_command(Context& ctx, int i, const std::string& text) {
  try {
    // Only a command that acts keeps the connection: a trickle of commands
    // for no reader must not hold one of the 101 places for good.
    if (carry_out(ctx, i,
                  parse_remote_command(
                      std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()))))
      if (ConnectionState* c = ctx.service.state(i)) c->idle_ticks = kIdleTicks;
    ctx.service.send(i, kAnswer);
    return true;
  } catch (const CommandError& e) {
    ctx.st.figures.remote_command(RemoteResult::Malformed);
    for (const std::string& line : ctx.st.service_reports.offer(e.what(), ctx.clock.monotonic_ms()))
      ctx.op.error_report(line);
    ConnectionState* c = ctx.service.state(i);
    if (c && ++c->malformed >= kMaxMalformed) {
      ctx.service.close_connection(i);
      return false;
    }
    return true;
  }
}

// One read of connection i, cut into its commands, each served in order.
void serve(Context& ctx, int i) {
  // Never more than the buffer holds; what is left waits for the next event.
  const int want = std::min(ctx.service.bytes_waiting(i), kServiceBufferSize);
  const int got = std::clamp(ctx.service.receive(i, first_n(ctx.st.service_rx, want)), 0, want);
  ConnectionState* c = ctx.service.state(i);
  if (got == 0 || c == nullptr) return;

  const auto read = std::span(ctx.st.service_rx).first(static_cast<std::size_t>(got));
  for (const std::string& text : take_commands(*c, read, ctx.clock.monotonic_ms())) {
    // A connection sending faster than any controller has what it sent
    // beyond its share dropped unanswered, so it cannot take the doors'
    // time from the others.
    if (!c->commands.take(ctx.clock.monotonic_ms(), kCommandsPerSecond, kCommandBurst)) {
      drop_waiting(ctx, i);
      return;
    }
    if (!run_command(ctx, i, text)) return;
  }
}

}  // namespace

void on_service_read(Context& ctx) {
  // Every connection with data is served, not only the one that raised the
  // event.
  for (int i = 0; i < ctx.service.connection_count(); ++i) {
    if (ctx.service.bytes_waiting(i) <= 0) continue;
    serve(ctx, i);
  }
}

void on_service_connect(Context& ctx, int connection) {
  // Supervised from accept: a connection that never sends a command is
  // closed like one that has gone quiet.
  if (ConnectionState* c = ctx.service.state(connection)) c->idle_ticks = kIdleTicks;
  ctx.log.line_if(LogCategory::Connections,
                  texts::kConnect + ctx.service.remote_address(connection));
}

void on_service_disconnect(Context& ctx, int connection) {
  ctx.log.line_if(LogCategory::Connections,
                  texts::kDisconnect + ctx.service.remote_address(connection));
}

void service_supervision_tick(Context& ctx) {
  // Counts of reports held back while a client flooded us come out once
  // things are quiet again.
  for (const std::string& line : ctx.st.service_reports.flush(ctx.clock.monotonic_ms()))
    ctx.op.error_report(line);
  for (const std::string& line : ctx.st.remote_lines.flush(ctx.clock.monotonic_ms() / 1000))
    ctx.st.upkeep.say(Severity::Info, line);
  for (const std::string& line : ctx.st.remote_drops.flush(ctx.clock.monotonic_ms()))
    ctx.st.upkeep.say(Severity::Warning, line);
  for (int i = 0; i < ctx.service.connection_count(); ++i) {
    ConnectionState* c = ctx.service.state(i);
    if (!c) continue;
    // A command whose "$" never came is served as it stands, and fails.
    if (auto stale = take_stale_command(*c, ctx.clock.monotonic_ms())) {
      if (!run_command(ctx, i, *stale)) continue;
    }
    if (c->idle_ticks <= 0) continue;
    if (--c->idle_ticks == 0) ctx.service.close_connection(i);
  }
}

}  // namespace netbuf
