// What a storage call did: worked, or failed with the reason.
#pragma once

#include <string>
#include <utility>

#include "core/store_error.h"

namespace netbuf {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status failure(std::string why) { return failure(StoreError(std::move(why))); }
  static Status failure(StoreError why) {
    Status s;
    s.ok_ = false;
    s.fault_ = std::move(why);
    return s;
  }
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const StoreError& fault() const { return fault_; }
  // The reason as the journal shows it.
  std::string error() const { return fault_.text(); }

 private:
  bool ok_ = true;
  StoreError fault_;
};

}  // namespace netbuf
