// Local date and time from the system clock.
#pragma once

#include "core/platform.h"

namespace netbuf {

class QtClock : public Clock {
 public:
  LocalTime now() const override;
  int64_t monotonic_ms() const override;
};

}  // namespace netbuf
