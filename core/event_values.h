// One event as it is stored: decided by the access check, queued while the
// database refuses it, written by the store.
#pragma once

#include <array>
#include <cstdint>

namespace netbuf {

struct EventValues {
  int32_t id = 0;
  int32_t adr485 = 0;
  int64_t time = 0;
  uint32_t timezone = 0;
  int32_t typ_kodu = 42;
  std::array<int32_t, 5> kod{};
  int32_t status = 0;
  int32_t code_no = 0;
};

}  // namespace netbuf
