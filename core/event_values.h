// One event as it is stored: decided by the access check, queued while the
// database refuses it, written by the store.
#pragma once

#include <array>
#include <cstdint>

namespace netbuf {

// What the card check decided, as the status column holds it.
enum EventStatus : int32_t {
  kStatusUnknownCard = 0,
  kStatusGranted = 4,
  kStatusOutsideTimeZone = 6,
  kStatusOutsideGeoZone = 7,
};

// A status in words; nullptr for one the card check never writes.
constexpr const char* event_status_name(int64_t status) {
  switch (status) {
    case kStatusUnknownCard:
      return "unknown card";
    case kStatusGranted:
      return "granted";
    case kStatusOutsideTimeZone:
      return "outside time zone";
    case kStatusOutsideGeoZone:
      return "outside geo zone";
    default:
      return nullptr;
  }
}

// The code type every event is stored with.
inline constexpr int32_t kTypKodu = 42;

struct EventValues {
  int32_t id = 0;
  int32_t adr485 = 0;
  int64_t time = 0;
  uint32_t timezone = 0;
  int32_t typ_kodu = kTypKodu;
  std::array<int32_t, 5> kod{};
  int32_t status = 0;
  int32_t code_no = 0;
};

}  // namespace netbuf
