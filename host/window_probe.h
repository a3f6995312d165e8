// Whether the window can start here at all, tried in a child process first:
// Qt's X11 platform aborts the whole process when the display does not
// answer, and a damaged module can take it down while being loaded
// (SIGBUS). The child takes that fall instead, and the buffer runs without
// a window.
#pragma once

#include <string>

namespace netbuf {

struct ProbeResult {
  bool ok = false;
  bool not_loaded = false;  // the module could not be loaded at all (dlopen's reason)
  std::string why;          // the child's first line of output, or how it ended
};

// Forks, loads `module` in the child, makes its GUI application and ends.
// Waits at most timeout_ms; runs before the event loop exists.
ProbeResult probe_window(const std::string& module, int timeout_ms = 10000);

}  // namespace netbuf
