#pragma once
#include "core/context.h"

namespace netbuf {
// ServerSocket1ClientRead: one read of the PC's connection (always index 0).
void on_pc_data(Context& ctx);
}  // namespace netbuf
