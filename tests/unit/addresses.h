// Peer addresses for tests, as the sockets hand them over.
#pragma once

#include <cstdint>

#include "core/address_list.h"

namespace netbuf::testing {

// 192.0.2.<last>, IPv4 mapped into IPv6.
inline Address16 v4(uint8_t last) {
  Address16 a{};
  a[10] = a[11] = 0xff;
  a[12] = 192;
  a[13] = 0;
  a[14] = 2;
  a[15] = last;
  return a;
}

}  // namespace netbuf::testing
