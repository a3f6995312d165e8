#pragma once
#include <cstdint>

#include "core/context.h"

namespace netbuf {
// Parks the PC's request held at pc_rx[0] for the reader it addresses.
void pass_through(Context& ctx, uint8_t tid_low);
}  // namespace netbuf
