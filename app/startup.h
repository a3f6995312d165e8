#pragma once
#include <string>

#include "core/context.h"

namespace netbuf {
// The start-up sequence after the caption: opens the database at db_path,
// loads registers and cards, applies the settings and rebuilds the readers.
// Any failure other than a port that cannot be opened propagates.
void start_up(Context& ctx, const std::string& db_path);
}  // namespace netbuf
