#include "service/remote_control.h"

#include <algorithm>
#include <limits>
#include <span>

#include "core/hex_text.h"
#include "core/log_texts.h"
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

int reader_for(const BufferState& st, int64_t adres) {
  // No reader can carry an address outside 32 bits.
  if (adres < std::numeric_limits<int32_t>::min() || adres > std::numeric_limits<int32_t>::max())
    return 0;
  return st.find_reader(static_cast<int>(adres));
}

// What a command does: the relay of the reader it names, and its log lines.
void carry_out(Context& ctx, const RemoteCommand& cmd) {
  // A command for an address no configured reader has is still answered,
  // but fires nothing.
  if (const int e = reader_for(ctx.st, cmd.adres); e > 0)
    command_reader(ctx.st.reader(e), kActionRelay);
  ctx.log.line_if(LogCategory::Events,
                  texts::kRemoteRelay + cmd.sender + texts::kRemoteRelayAt + dec(cmd.adres));
  ctx.log.line_if(LogCategory::Tcp, texts::kRemoteControl + cmd.sender + " " + cmd.text +
                                        " typ: " + dec(cmd.typ) + " rozkaz:" + dec(cmd.rozkaz) +
                                        " adres:" + dec(cmd.adres));
}

// One command of connection i: parsed, carried out, answered. A malformed one
// is reported and counted against its own connection only, so one client
// sending garbage cannot starve the rest. False once its connection is closed.
bool run_command(Context& ctx, int i, const std::string& text) {
  try {
    carry_out(ctx, parse_remote_command(
                       std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
    ctx.service.send(i, kAnswer);
    return true;
  } catch (const CommandError& e) {
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
  c->idle_ticks = kIdleTicks;

  const auto read = std::span(ctx.st.service_rx).first(static_cast<std::size_t>(got));
  for (const std::string& text : take_commands(*c, read, ctx.clock.monotonic_ms()))
    if (!run_command(ctx, i, text)) return;
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
