// Cuts the byte stream of the reader line into the requests a reader has to
// look at. The line carries no delimiters, so requests are recognised by
// their own layout: function 3 requests are 8 bytes, function 16 requests
// 9 + byte count. Anything else is dropped one byte at a time until a frame
// start lines up again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tools/readersim/frame_crc.h"

namespace netbuf::readersim {

// Modbus RTU as the readers speak it, written down here again on purpose:
// the simulator is the buffer's independent peer.
constexpr size_t kAddress = 0;
constexpr size_t kFunction = 1;
constexpr size_t kAnswerByteCount = 2;  // function 3 answers
constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kWriteMultiple = 0x10;
constexpr size_t kReadAnswerOverhead = 5;  // address, function, byte count, CRC

// Request fields behind the address and the function code.
constexpr size_t kStart = 2;
constexpr size_t kQuantity = 4;
constexpr size_t kByteCount = 6;  // function 16 requests only
constexpr size_t kWriteData = 7;

constexpr size_t kReadRequestLen = 8;
constexpr size_t kWriteAnswerLen = 8;  // echo of address to quantity, CRC
constexpr size_t kWriteHeaderLen = 7;  // up to and including the byte count
constexpr int kMaxWriteQuantity = 123;

inline int be16(const uint8_t* p) {
  return (p[0] << 8) | p[1];
}

struct Frame {
  enum Kind { request, crc_error } kind;
  std::vector<uint8_t> bytes;
};

class RequestFramer {
 public:
  // Appends bytes from the line and moves every complete frame to out.
  void feed(std::span<const uint8_t> bytes, std::vector<Frame>& out) {
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    scan(false, out);
  }

  // The line has gone quiet: no more bytes will complete what is held. A
  // request buried behind a false frame start is still found; partial
  // garbage goes without a word.
  void end_of_burst(std::vector<Frame>& out) {
    scan(true, out);
    held_.clear();
  }

  size_t held() const { return held_.size(); }

 private:
  enum class Step { take_request, crc_error, skip_answer, drop_byte, wait };

  // What to do with the bytes at the front of f (at least two); `len` is the
  // length the step applies to.
  static Step classify(std::span<const uint8_t> f, bool final, size_t& len) {
    if (f[kFunction] == kReadHolding) return classify_read(f, final, len);
    if (f[kFunction] == kWriteMultiple) return classify_write(f, final, len);
    return Step::drop_byte;
  }

  static Step classify_read(std::span<const uint8_t> f, bool final, size_t& len) {
    const size_t n = f.size();
    if (n < kReadRequestLen) return final ? Step::drop_byte : Step::wait;
    len = kReadRequestLen;
    if (frame_crc_ok(f.first(len))) return Step::take_request;
    // Readers' answers (real ones on the same line, or our own echo on an
    // adapter that hears itself) look like requests at first sight.
    const size_t count = f[kAnswerByteCount];
    if (count > 0 && count % 2 == 0) {
      const size_t answer_len = count + kReadAnswerOverhead;
      if (n < answer_len && !final) return Step::wait;
      if (n >= answer_len && frame_crc_ok(f.first(answer_len))) {
        len = answer_len;
        return Step::skip_answer;
      }
    }
    return Step::crc_error;
  }

  static Step classify_write(std::span<const uint8_t> f, bool final, size_t& len) {
    const size_t n = f.size();
    if (n < kWriteHeaderLen) return final ? Step::drop_byte : Step::wait;
    const int quantity = be16(&f[kQuantity]);
    const size_t count = f[kByteCount];
    const bool header_ok =
        quantity >= 1 && quantity <= kMaxWriteQuantity && count == 2 * size_t(quantity);
    const size_t request_len = kWriteData + count + 2;
    if (header_ok) {
      if (n >= request_len && frame_crc_ok(f.first(request_len))) {
        len = request_len;
        return Step::take_request;
      }
      if (n < request_len && !final) return Step::wait;
    }
    // The 8-byte function 16 answer of some reader.
    if (n < kWriteAnswerLen) return final ? Step::drop_byte : Step::wait;
    if (frame_crc_ok(f.first(kWriteAnswerLen))) {
      len = kWriteAnswerLen;
      return Step::skip_answer;
    }
    if (header_ok && n >= request_len) {
      len = request_len;
      return Step::crc_error;
    }
    return Step::drop_byte;
  }

  void scan(bool final, std::vector<Frame>& out) {
    size_t pos = 0;
    while (held_.size() - pos >= 2) {
      const uint8_t* p = held_.data() + pos;
      size_t len = 1;
      const Step step = classify(std::span(held_).subspan(pos), final, len);
      if (step == Step::wait) break;
      switch (step) {
        case Step::take_request:
          out.push_back({Frame::request, {p, p + len}});
          pos += len;
          break;
        case Step::skip_answer:
          pos += len;
          break;
        case Step::crc_error:
          // Move on by one byte only: the false start may hide a good
          // request behind it.
          out.push_back({Frame::crc_error, {p, p + len}});
          pos += 1;
          break;
        default:
          pos += 1;
      }
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
  }

  std::vector<uint8_t> held_;
};

}  // namespace netbuf::readersim
