// The one line a start leaves in the journal: version, the real path of
// net.db, the settings in force, the device behind COMn, and the host's time
// zone, with a warning when its offset is not the site's UTC+1 / UTC+2.
#pragma once

#include <QString>

#include "core/context.h"

namespace netbuf {

void write_start_line(Context& ctx, const QString& db_path);

}  // namespace netbuf
