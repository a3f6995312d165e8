#include "control/control_wire.h"

namespace netbuf::control {

namespace {

constexpr std::size_t kLengthSize = 4;

void put_u32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

}  // namespace

Writer::Writer(uint8_t kind) {
  bytes_.push_back(static_cast<char>(kind));
}

Writer& Writer::u8(uint32_t v) {
  bytes_.push_back(static_cast<char>(v & 0xFF));
  return *this;
}

Writer& Writer::u16(uint32_t v) {
  bytes_.push_back(static_cast<char>((v >> 8) & 0xFF));
  bytes_.push_back(static_cast<char>(v & 0xFF));
  return *this;
}

Writer& Writer::u32(uint32_t v) {
  put_u32(bytes_, v);
  return *this;
}

Writer& Writer::text(const std::string& s) {
  put_u32(bytes_, static_cast<uint32_t>(s.size()));
  bytes_ += s;
  return *this;
}

std::string Writer::frame() const {
  std::string out;
  out.reserve(kLengthSize + bytes_.size());
  put_u32(out, static_cast<uint32_t>(bytes_.size()));
  out += bytes_;
  return out;
}

bool Reader::take(std::size_t n) {
  if (failed_ || body_.size() - at_ < n) {
    failed_ = true;
    return false;
  }
  return true;
}

uint8_t Reader::u8() {
  if (!take(1)) return 0;
  return body_[at_++];
}

uint16_t Reader::u16() {
  if (!take(2)) return 0;
  const uint16_t v = static_cast<uint16_t>((body_[at_] << 8) | body_[at_ + 1]);
  at_ += 2;
  return v;
}

uint32_t Reader::u32() {
  if (!take(4)) return 0;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | body_[at_ + static_cast<std::size_t>(i)];
  at_ += 4;
  return v;
}

std::string Reader::text() {
  const uint32_t n = u32();
  if (!take(n)) return {};
  std::string s(reinterpret_cast<const char*>(body_.data() + at_), n);
  at_ += n;
  return s;
}

void FrameCutter::feed(std::span<const uint8_t> bytes) {
  if (broken_) return;
  // What was taken is dropped before more comes, so the buffer never holds
  // more than one frame and the bytes of one read.
  if (at_ > 0) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ = 0;
  }
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

std::optional<std::vector<uint8_t>> FrameCutter::next() {
  if (broken_ || buffered() < kLengthSize) return std::nullopt;
  uint32_t n = 0;
  for (std::size_t i = 0; i < kLengthSize; ++i) n = (n << 8) | buf_[at_ + i];
  if (n == 0 || n > max_frame_) {
    broken_ = true;
    buf_.clear();
    at_ = 0;
    return std::nullopt;
  }
  if (buffered() - kLengthSize < n) return std::nullopt;
  const auto first = buf_.begin() + static_cast<std::ptrdiff_t>(at_ + kLengthSize);
  std::vector<uint8_t> frame(first, first + static_cast<std::ptrdiff_t>(n));
  at_ += kLengthSize + n;
  return frame;
}

}  // namespace netbuf::control
