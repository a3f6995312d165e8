#include "core/rate_limit.h"

#include <algorithm>

namespace netbuf {

bool TokenBucket::take(int64_t now_ms, double rate, double burst) {
  if (!started) {
    started = true;
    tokens = burst;
  } else if (now_ms > last_ms) {
    tokens = std::min(burst, tokens + static_cast<double>(now_ms - last_ms) * rate / 1000.0);
  }
  last_ms = std::max(last_ms, now_ms);
  if (tokens < 1.0) return false;
  tokens -= 1.0;
  return true;
}

bool AddressThrottle::allow(const Address16& peer, int64_t now_ms) {
  auto it = buckets_.find(peer);
  if (it == buckets_.end()) {
    if (buckets_.size() >= capacity_) {
      buckets_.erase(std::min_element(
          buckets_.begin(), buckets_.end(),
          [](const auto& a, const auto& b) { return a.second.last_ms < b.second.last_ms; }));
    }
    it = buckets_.emplace(peer, TokenBucket{}).first;
  }
  return it->second.take(now_ms, rate_, burst_);
}

}  // namespace netbuf
