// The bytes between netbuf and its windows: length-prefixed frames, each
// one message, and the few field types messages are made of. Nothing here
// knows a socket; both ends feed it the bytes they read.
//
// frame   = length (u32, big-endian; counts kind and body) | kind (u8) | body
// u8, u16, u32  big-endian
// text    = length (u32) | that many bytes (UTF-8, as the operator sees them)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace netbuf::control {

// Appends fields to one message; frame() puts the length in front.
class Writer {
 public:
  explicit Writer(uint8_t kind);
  Writer& u8(uint32_t v);
  Writer& u16(uint32_t v);
  Writer& u32(uint32_t v);
  Writer& text(const std::string& s);
  // The whole frame, ready to send.
  std::string frame() const;

 private:
  std::string bytes_;  // kind and body; the length goes in front at the end
};

// Reads the fields of one message's body; any read past its end sets
// failed() and yields zeros, so a decoder checks once at the end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> body) : body_(body) {}
  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  std::string text();
  bool failed() const { return failed_; }
  // Every byte read and nothing failed.
  bool done() const { return !failed_ && at_ == body_.size(); }

 private:
  bool take(std::size_t n);
  std::span<const uint8_t> body_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

// Cuts a byte stream into frames. Holds at most one frame's bytes: a length
// of 0 or above max_frame is garbage, and the stream is not read further.
class FrameCutter {
 public:
  explicit FrameCutter(std::size_t max_frame) : max_frame_(max_frame) {}

  // Takes bytes as they come.
  void feed(std::span<const uint8_t> bytes);
  // The next whole frame (kind and body, without the length), if any.
  std::optional<std::vector<uint8_t>> next();
  bool broken() const { return broken_; }
  std::size_t buffered() const { return buf_.size() - at_; }

 private:
  std::size_t max_frame_;
  std::vector<uint8_t> buf_;
  std::size_t at_ = 0;
  bool broken_ = false;
};

}  // namespace netbuf::control
