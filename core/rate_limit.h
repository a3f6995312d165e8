// Rates that a peer may not exceed: connections a second from one address,
// commands a second on one connection. Plain token buckets, fed a monotonic
// clock, so a flood is cut to a steady trickle while a well-behaved client
// never meets the limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "core/address_list.h"

namespace netbuf {

// `rate` events a second on average, up to `burst` at once.
struct TokenBucket {
  double tokens = 0;
  int64_t last_ms = 0;
  bool started = false;

  // Whether one more event may pass at now_ms; takes its token if so.
  bool take(int64_t now_ms, double rate, double burst);
};

// One bucket per peer address. At most `capacity` addresses are kept; when a
// new one comes, the one seen longest ago is forgotten (it starts afresh,
// which only ever lets a peer through).
class AddressThrottle {
 public:
  AddressThrottle(double rate, double burst, std::size_t capacity = 1024)
      : rate_(rate), burst_(burst), capacity_(capacity) {}

  bool allow(const Address16& peer, int64_t now_ms);
  std::size_t tracked() const { return buckets_.size(); }

 private:
  double rate_, burst_;
  std::size_t capacity_;
  std::map<Address16, TokenBucket> buckets_;
};

}  // namespace netbuf
