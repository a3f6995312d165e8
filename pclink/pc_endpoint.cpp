#include "pclink/pc_endpoint.h"

#include "core/hex_text.h"
#include "core/log_texts.h"
#include "pclink/request_stream.h"

namespace netbuf {

void on_pc_connect(Context& ctx, int connection) {
  // Supervised from the start: a connection that never sends a request must
  // not hold the PC's place for good.
  if (ConnectionState* c = ctx.pc.state(connection)) c->idle_ticks = kPcIdleTicks;
  ctx.timers.set_supervision_timer(true);
  const std::string address = ctx.pc.remote_address(connection);
  ctx.log.line_if(LogCategory::Connections, texts::kConnect + address);
  ctx.status.show_client(address);
}

void on_pc_accept(Context& ctx) {
  // One PC at a time: a second connection is closed as soon as it arrives.
  if (ctx.pc.connection_count() > 1) ctx.pc.close_connection(1);
}

void on_pc_disconnect(Context& ctx, int connection) {
  ctx.log.line_if(LogCategory::Connections, texts::kDisconnect + ctx.pc.remote_address(connection));
  ctx.status.show_client(texts::kNoConnection);
  // A reader's answer still owed to the PC that left would go to the next PC,
  // under a transaction number that PC never used.
  // Nor may the next PC's first bytes finish a request this one began.
  if (connection == 0) {
    for (Tczytnik& r : ctx.st.readers) r.pc_wait = 0;
    drop_held_request(ctx.st);
  }
}

void on_pc_error(Context& ctx, int error_code) {
  ctx.log.line_if(LogCategory::Connections, texts::kTcpError + dec(error_code));
  const int port = ctx.pc.port();
  ctx.pc.close();
  ctx.pc.open(port);
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
