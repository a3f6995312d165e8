#include "pclink/pc_endpoint.h"

#include "core/hex_text.h"
#include "core/log_texts.h"

namespace netbuf {

void on_pc_connect(Context& ctx, int connection) {
  // Supervised from the start: a connection that never sends a request must
  // not hold the PC's place for good.
  if (ConnectionState* c = ctx.pc.state(connection)) {
    c->idle_ticks = kPcIdleTicks;
    c->last_served_ms = ctx.clock.monotonic_ms();
  }
  ctx.timers.set_supervision_timer(true);
  const std::string address = ctx.pc.remote_address(connection);
  ctx.log.line_if(LogCategory::Connections, texts::kConnect + address);
  ctx.status.show_client(address);
}

void on_pc_accept(Context& ctx) {
  // One PC at a time: a second connection is closed as soon as it arrives,
  // unless the held one has been served nothing for a while: then it is most
  // likely what a restarted PC left behind, and the newcomer takes over.
  const int n = ctx.pc.connection_count();
  if (n <= 1) return;
  const ConnectionState* held = ctx.pc.state(0);
  const int64_t now = ctx.clock.monotonic_ms();
  if (held == nullptr || now - held->last_served_ms < kPcTakeOverMs) {
    ctx.pc.close_connection(1);
    return;
  }
  const std::string old_address = ctx.pc.remote_address(0);
  const std::string new_address = ctx.pc.remote_address(n - 1);
  ctx.st.upkeep.say(Severity::Info, "PC " + new_address + " takes over from " + old_address +
                                        ", served nothing for " +
                                        dec((now - held->last_served_ms) / 1000) + " s");
  for (int i = 0; i < n - 1; ++i) ctx.pc.close_connection(i);
  ctx.status.show_client(new_address);
}

void on_pc_disconnect(Context& ctx, int connection) {
  ctx.log.line_if(LogCategory::Connections, texts::kDisconnect + ctx.pc.remote_address(connection));
  ctx.status.show_client(texts::kNoConnection);
  // A reader's answer still owed to the PC that left would go to the next PC,
  // under a transaction number that PC never used; nor may the next PC's
  // first bytes finish a request this one began.
  if (connection == 0) {
    for (ReaderEntry& r : ctx.st.readers) r.pc_wait = 0;
    ctx.st.pc_request.reset();
  }
}

void on_pc_error(Context& ctx, int error_code) {
  ctx.log.line_if(LogCategory::Connections, texts::kTcpError + dec(error_code));
  const int port = ctx.pc.port();
  ctx.pc.close();
  ctx.pc.open(port);
}

void note_pc_served(Context& ctx) {
  if (ConnectionState* c = ctx.pc.state(0)) {
    c->idle_ticks = kPcIdleTicks;
    c->last_served_ms = ctx.clock.monotonic_ms();
  }
  ctx.timers.set_supervision_timer(true);
}

void on_pc_supervision_tick(Context& ctx) {
  bool running = false;
  for (int i = 0; i < ctx.pc.connection_count(); ++i) {
    ConnectionState* c = ctx.pc.state(i);
    if (!c || c->idle_ticks <= 0) continue;
    running = true;
    if (--c->idle_ticks == 0) ctx.pc.close_connection(i);
  }
  if (!running) ctx.timers.set_supervision_timer(false);
}

}  // namespace netbuf
