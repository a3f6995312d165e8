#pragma once
#include "core/context.h"

namespace netbuf {
// Timer2Timer: serves the next reader with one frame.
void on_poll_tick(Context& ctx);
}  // namespace netbuf
