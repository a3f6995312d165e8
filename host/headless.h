// Whether the process runs without a display (a server). Message boxes then
// go to standard error.
#pragma once

namespace netbuf {

// Decided before any application object exists: no display and no platform
// asked for, or Qt's offscreen or minimal platform asked for.
bool headless_environment();
// While running: no GUI application at all, or one on the offscreen or
// minimal platform.
bool is_headless();

}  // namespace netbuf
