#include "core/connection_buffers.h"

#include <algorithm>
#include <cstring>

namespace netbuf {

std::span<uint8_t> InputBuffer::room() {
  if (head_ > 0 && tail_ == kCapacity) {
    std::memmove(bytes_.get(), bytes_.get() + head_, unread());
    tail_ -= head_;
    head_ = 0;
  }
  if (!bytes_) bytes_ = std::make_unique_for_overwrite<uint8_t[]>(kCapacity);
  return std::span(bytes_.get() + tail_, kCapacity - tail_);
}

std::size_t InputBuffer::take(std::span<uint8_t> out) {
  const std::size_t n = std::min(out.size(), unread());
  if (n == 0) return 0;
  std::memcpy(out.data(), bytes_.get() + head_, n);
  head_ += n;
  if (unread() == 0) head_ = tail_ = 0;
  return n;
}

void InputBuffer::release() {
  bytes_.reset();
  head_ = tail_ = 0;
}

void OutputBacklog::queue(std::span<const uint8_t> bytes) {
  if (unsent() == 0) {
    bytes_.clear();
    head_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

void OutputBacklog::sent(std::size_t n) {
  head_ += std::min(n, unsent());
  if (unsent() > 0) return;
  bytes_.clear();
  bytes_.shrink_to_fit();
  head_ = 0;
}

void OutputBacklog::release() {
  bytes_ = {};
  head_ = 0;
}

}  // namespace netbuf
