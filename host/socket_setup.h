// The endpoints' dealings with the system's sockets that need no event
// loop: listening sockets set up as the installation wants them, the peer's
// address, how an errno is read, and the error numbers the operator is shown.
#pragma once

#include <optional>

#include "core/address_list.h"

namespace netbuf {

// Sets a boolean socket option on.
void set_option(int fd, int level, int name);
// The peer as 16 bytes (IPv4 as ::ffff:a.b.c.d); nothing when it has gone.
std::optional<Address16> peer_address(int fd);
// A non-blocking socket bound to the one address the installer named, or
// without one to every address of both families (IPv4 alone where the
// system has no IPv6); SO_REUSEADDR set. -1 with errno on failure.
int bound_socket(const ListenAddress& at, int port);
int listening_socket(int port);

// Nothing to do now; try again when the loop says so.
bool would_block(int err);
// A peer that closed or reset has left; that is a disconnect, not an error.
bool peer_left(int err);

// The error number shown to the operator for a socket errno; Winsock
// numbering, which the installation's operators know.
int socket_error_code(int err);

}  // namespace netbuf
