// The loop's side of the storage path: what must reach net.db (decided
// events with their counter, the moved read pointer, the write-back's
// registers and cards, the settings of "Zapisz") is collected into one batch
// whenever the path is free, and the result is taken back when it is done.
// Nothing here waits for the disk except the stop.
#pragma once

#include "core/context.h"

namespace netbuf {

// Takes a finished result and hands over what waits; after every handler.
void pump_storage(Context& ctx);

// The write-back tick's part: every changed register and card is due, the
// file is looked at, a refused batch is tried again, and a commit that runs
// long is reported.
void storage_tick(Context& ctx);

// The stop: everything is stored, waiting for the path; false when something
// could not be.
bool flush_storage(Context& ctx);

// What waits for net.db: events, registers, cards and settings not yet stored
// (those of the batch out included).
std::size_t items_waiting(const Context& ctx);

}  // namespace netbuf
