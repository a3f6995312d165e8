#include "pclink/request_stream.h"

#include <algorithm>
#include <cstring>

#include "modbus/byte_span.h"
#include "modbus/mbap.h"

namespace netbuf {

namespace {
constexpr int kProtocolAt = 2;
// Unit and function code at least; the unit and a 253-byte PDU at most.
constexpr int kMinLength = 2;
constexpr int kMaxLength = kPcHeldSize - mbap::kPrefixSize;
// Where the request handlers find how long a frame of theirs is.
constexpr int kByteCountAt = 12;     // function 16 passed through
constexpr int kRecordLengthAt = 15;  // functions 20 and 21, its low byte

// The size of the request at the front as its handler steps over it (the
// length field aside); 0 when its bytes do not tell yet, or nobody handles it.
std::size_t size_by_function(std::span<const uint8_t> bytes) {
  const ByteReader in(bytes);
  if (!in.has(mbap::kFunction, 1)) return 0;
  const bool own = in.u8(mbap::kUnit) == mbap::kBufferUnit;
  switch (in.u8(mbap::kFunction)) {
    case 3:
      return 12;
    case 16:
      if (own) return in.has(mbap::kQtyHi, 2) ? 13 + 2 * std::size_t(in.be16(mbap::kQtyHi)) : 0;
      return in.has(kByteCountAt, 1) ? 13 + std::size_t{in.u8(kByteCountAt)} : 0;
    case 20:
      return own ? 16 : 0;
    case 21:
      if (!own || !in.has(kRecordLengthAt, 1)) return 0;
      return 16 + 32 * std::size_t{in.u8(kRecordLengthAt) / 16u};
    default:
      return 0;
  }
}
}  // namespace

bool can_start_request(std::span<const uint8_t> bytes) {
  const ByteReader in(bytes);
  if (in.has(kProtocolAt, 2) && in.be16(kProtocolAt) != 0) return false;
  if (!in.has(mbap::kLenHi, 2)) return true;
  const int length = in.be16(mbap::kLenHi);
  return length >= kMinLength && length <= kMaxLength;
}

std::size_t whole_requests(std::span<const uint8_t> bytes) {
  std::size_t p = 0;
  while (p < bytes.size()) {
    const auto rest = bytes.subspan(p);
    if (!can_start_request(rest)) return bytes.size();
    if (rest.size() < mbap::kPrefixSize) return p;
    const std::size_t size = mbap::kPrefixSize + ByteReader(rest).be16(mbap::kLenHi);
    // A length its own frame belies cannot tell where the request ends: the
    // read is served as it came, as every read once was.
    const std::size_t by_function = size_by_function(rest);
    if (by_function != 0 && by_function != size) return bytes.size();
    if (size > rest.size()) return p;
    p += size;
  }
  return p;
}

int resume_held_request(PcRequestState& req, int64_t now_ms) {
  const int held = std::clamp(req.held_len, 0, kPcHeldSize);
  req.held_len = 0;
  if (held == 0 || now_ms - req.held_since_ms > kPcHoldMs) return 0;
  std::copy_n(req.held.begin(), held, req.rx.begin());
  return held;
}

void split_off_partial_request(PcRequestState& req, int held, int got, int64_t now_ms) {
  int n = held + got;
  // A held start that the new bytes do not continue into a request was
  // garbage after all; the new bytes stand alone.
  if (held > 0 && !can_start_request(first_n(req.rx, n))) {
    std::memmove(req.rx.data(), req.rx.data() + held, static_cast<std::size_t>(got));
    n = got;
    held = 0;
  }
  const auto whole = static_cast<int>(whole_requests(first_n(req.rx, n)));
  const int rest = n - whole;
  // Only the start of one request is ever left, and it fits.
  if (rest > 0 && rest <= kPcHeldSize) {
    std::copy_n(req.rx.begin() + whole, rest, req.held.begin());
    // The wait counts from the request's first bytes.
    if (whole > 0 || held == 0) req.held_since_ms = now_ms;
    req.held_len = rest;
  }
  req.rx_len = whole;
}

}  // namespace netbuf
