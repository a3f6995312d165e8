#pragma once
#include "core/context.h"

namespace netbuf {
// Seconds of PC silence before its connection is closed.
inline constexpr int kPcIdleTicks = 120;
// Connection events of ServerSocket1 and the PC idle supervision.
void on_pc_connect(Context& ctx, int connection);
void on_pc_accept(Context& ctx);
void on_pc_disconnect(Context& ctx, int connection);
void on_pc_error(Context& ctx, int error_code);
void on_pc_supervision_tick(Context& ctx);
}  // namespace netbuf
