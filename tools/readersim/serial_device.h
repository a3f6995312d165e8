// The reader line as a raw file descriptor: a serial adapter or a pty end.
#pragma once

#include <string>

namespace netbuf::readersim {

// Opens the device read-write, raw, 8N1, no flow control, at the given baud
// rate (a standard rate; a pty accepts any). Returns the descriptor, or -1
// with the reason in error.
int open_line(const std::string& device, int baud, std::string& error);

}  // namespace netbuf::readersim
