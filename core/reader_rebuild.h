#pragma once
#include "core/context.h"

namespace netbuf {
// Rebuilds the reader list from registers 1400..1527 and refreshes the status
// view and the buzzer patterns on the settings form.
void rebuild_readers(Context& ctx);
}  // namespace netbuf
