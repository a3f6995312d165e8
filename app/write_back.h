#pragma once
#include "core/context.h"

namespace netbuf {
// The write-back tick: zone mask, service supervision, hold-off countdown, write-back.
void on_write_back_tick(Context& ctx);
void compute_zone_mask(Context& ctx);
// Stores waiting events, every dirty register and every dirty card (clean
// stop), waiting for the storage path; what could not be stored stays
// marked, and the result is false.
bool store_everything(Context& ctx);
}  // namespace netbuf
