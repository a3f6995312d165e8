// Whether the process runs without a display (a server): Qt's offscreen or
// minimal platform. Message boxes then go to standard error.
#pragma once

namespace netbuf {

bool is_headless();

}  // namespace netbuf
