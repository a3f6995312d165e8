#include "host/socket_setup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace netbuf {

namespace {

// Closes a socket that could not be set up, leaving errno as the failure set
// it; -1.
int close_failed(int fd) {
  const int err = errno;
  ::close(fd);
  errno = err;
  return -1;
}

}  // namespace

void set_option(int fd, int level, int name) {
  const int one = 1;
  ::setsockopt(fd, level, name, &one, sizeof one);
}

// The peer as 16 bytes (IPv4 as ::ffff:a.b.c.d); nothing when it has gone.
std::optional<Address16> peer_address(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return std::nullopt;
  Address16 out{};
  if (a.ss_family == AF_INET) {
    out[10] = out[11] = 0xff;
    std::memcpy(out.data() + 12, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, 4);
  } else if (a.ss_family == AF_INET6) {
    std::memcpy(out.data(), &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, 16);
  } else {
    return std::nullopt;
  }
  return out;
}

// A socket bound to one address that the installer named.
int bound_socket(const ListenAddress& at, int port) {
  const int fd =
      ::socket(at.v4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  set_option(fd, SOL_SOCKET, SO_REUSEADDR);
  int rc;
  if (at.v4) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    std::memcpy(&a.sin_addr, at.address.data() + 12, 4);
    a.sin_port = htons(static_cast<uint16_t>(port));
    rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  } else {
    // "[::]" is every address of both families, as without an address.
    const int zero = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    std::memcpy(&a.sin6_addr, at.address.data(), 16);
    a.sin6_port = htons(static_cast<uint16_t>(port));
    rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) return close_failed(fd);
  return fd;
}

// One socket for both families where the system has IPv6; IPv4 alone where
// it has not.
int listening_socket(int port) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    const int zero = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    set_option(fd, SOL_SOCKET, SO_REUSEADDR);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
    const int err = errno;
    ::close(fd);
    if (err != EADDRNOTAVAIL && err != EAFNOSUPPORT) {
      errno = err;
      return -1;
    }
  } else if (errno != EAFNOSUPPORT) {
    return -1;
  }
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  set_option(fd, SOL_SOCKET, SO_REUSEADDR);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return close_failed(fd);
  return fd;
}

bool would_block(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// A peer that closed or reset has left; that is a disconnect, not an error.
bool peer_left(int err) {
  return err == ECONNRESET || err == EPIPE;
}

int socket_error_code(int err) {
  switch (err) {
    case ECONNREFUSED:
      return 10061;
    case ECONNRESET:
      return 10054;
    case EACCES:
      return 10013;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case ETIMEDOUT:
      return 10060;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case EHOSTUNREACH:
      return 10065;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case EOPNOTSUPP:
      return 10045;
    case EPIPE:
      return 10058;
    default:
      return 10053;
  }
}

}  // namespace netbuf
