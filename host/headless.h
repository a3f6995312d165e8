// Whether netbuf was started on a desktop, where it starts its window beside
// itself.
#pragma once

namespace netbuf {

// No display and no platform asked for, or Qt's offscreen or minimal
// platform asked for.
bool headless_environment();

}  // namespace netbuf
