#pragma once
#include "core/context.h"

namespace netbuf {
// Rebuilds the reader list from registers 1400..1527 and refreshes the status
// labels and the buzzer-pattern check boxes.
void rebuild_readers(Context& ctx);
}  // namespace netbuf
