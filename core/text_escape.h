// Text from the network on its way to a log line, a terminal or a box.
#pragma once

#include <string>
#include <string_view>

namespace netbuf {

// Control bytes (C0, DEL, and C1 as UTF-8) become \xNN, so one line of input
// stays one line of log and no terminal sequence passes. Printable bytes,
// backslashes and non-ASCII letters pass unchanged. keep_line_breaks leaves
// CR and LF for texts that are meant to span lines (a message box).
std::string escape_controls(std::string_view text, bool keep_line_breaks = false);

}  // namespace netbuf
