// Bounds-checked access to frame bytes. One overflow policy for every frame
// the buffer writes: a write that does not fit is not made at all and reports
// false, so no peer ever gets half an answer. Reads past the end give 0 and
// are caught beforehand with has().
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace netbuf {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : b_(bytes) {}

  std::size_t size() const { return b_.size(); }
  // Whether n bytes from offset at lie inside.
  bool has(std::ptrdiff_t at, std::ptrdiff_t n) const {
    return at >= 0 && n >= 0 && at <= static_cast<std::ptrdiff_t>(b_.size()) - n;
  }
  uint8_t u8(std::ptrdiff_t at) const { return has(at, 1) ? b_[static_cast<std::size_t>(at)] : 0; }
  // Big-endian words.
  int be16(std::ptrdiff_t at) const { return u8(at) * 256 + u8(at + 1); }
  uint32_t be32(std::ptrdiff_t at) const {
    return uint32_t{u8(at)} << 24 | uint32_t{u8(at + 1)} << 16 | uint32_t{u8(at + 2)} << 8 |
           u8(at + 3);
  }
  // n bytes from at, or nothing when they do not all lie inside.
  std::span<const uint8_t> sub(std::ptrdiff_t at, std::ptrdiff_t n) const {
    if (!has(at, n)) return {};
    return b_.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(n));
  }

 private:
  std::span<const uint8_t> b_;
};

// The first n elements of s, n clamped to what s holds: for counts that come
// from outside (a fill level, a peer's length) and may be negative or too big.
template <class T>
std::span<T> first_n(std::span<T> s, std::ptrdiff_t n) {
  return s.first(static_cast<std::size_t>(
      std::clamp<std::ptrdiff_t>(n, 0, static_cast<std::ptrdiff_t>(s.size()))));
}
template <class T, std::size_t N>
std::span<const T> first_n(const std::array<T, N>& a, std::ptrdiff_t n) {
  return first_n(std::span<const T>(a), n);
}
template <class T, std::size_t N>
std::span<T> first_n(std::array<T, N>& a, std::ptrdiff_t n) {
  return first_n(std::span<T>(a), n);
}

// Appends to a fixed buffer whose fill level lives with the buffer (used).
class ByteWriter {
 public:
  ByteWriter(std::span<uint8_t> buf, int32_t& used) : b_(buf), used_(used) {}

  // Room left; none when the fill level is out of range.
  std::size_t room() const {
    if (used_ < 0 || static_cast<std::size_t>(used_) > b_.size()) return 0;
    return b_.size() - static_cast<std::size_t>(used_);
  }
  bool fits(std::size_t n) const { return n <= room(); }

  bool put(std::span<const uint8_t> bytes) {
    if (!fits(bytes.size())) return false;
    std::copy(bytes.begin(), bytes.end(), b_.begin() + used_);
    used_ += static_cast<int32_t>(bytes.size());
    return true;
  }
  bool put(std::initializer_list<uint8_t> bytes) {
    return put(std::span<const uint8_t>(bytes.begin(), bytes.size()));
  }
  // High byte v div 256, low byte v mod 256, both truncating and each cut to
  // 8 bits: the plain split for 0..65535, and the device's bytes for a
  // register stored negative in net.db (-2 goes out as 00 FE, not FF FE).
  bool put_be16(int v) {
    return put({static_cast<uint8_t>((v / 256) & 0xFF), static_cast<uint8_t>((v % 256) & 0xFF)});
  }

 private:
  std::span<uint8_t> b_;
  int32_t& used_;
};

}  // namespace netbuf
