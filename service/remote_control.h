#pragma once
#include "core/context.h"

namespace netbuf {
// ServerSocket2ClientRead: serves every service connection with data waiting.
// A malformed command is reported to the operator; too many close its
// connection.
void on_service_read(Context& ctx);
void on_service_connect(Context& ctx, int connection);
void on_service_disconnect(Context& ctx, int connection);
// Run by the write-back tick.
void service_supervision_tick(Context& ctx);
}  // namespace netbuf
