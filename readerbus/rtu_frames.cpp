#include "readerbus/rtu_frames.h"

#include <algorithm>

#include "modbus/byte_span.h"

namespace netbuf {

namespace {

// A request passed on from the PC: unit, function, start, quantity and, for
// a write, the byte count and data; what the reader gets, CRC added.
constexpr int kReadFrameSize = 8;
constexpr int kWriteFrameHead = 7;  // unit, function, start, quantity, byte count
constexpr int kRelayRegister = 150;
constexpr int kBuzzerRegister = 151;

uint8_t lo(int v) {
  return static_cast<uint8_t>(v & 0xFF);
}
uint8_t hi(int v) {
  return static_cast<uint8_t>((v >> 8) & 0xFF);
}

// The relay and buzzer frames: one register written with two data bytes.
std::array<uint8_t, 11> write_one(int address, int reg, uint8_t d0, uint8_t d1) {
  std::array<uint8_t, 11> f{lo(address), kFnWriteMultiple, hi(reg), lo(reg), 0x00, 0x01, 0x02, d0,
                            d1};
  put_crc(f);
  return f;
}

}  // namespace

std::array<uint8_t, 8> poll_frame(int address) {
  // Status word, one spare register and the three card-code registers.
  std::array<uint8_t, 8> f{lo(address), kFnReadHolding, 0x00, 0x0A, 0x00, 0x05};
  put_crc(f);
  return f;
}

std::array<uint8_t, 11> relay_frame(int address) {
  return write_one(address, kRelayRegister, 0x00, 0xFE);
}

std::array<uint8_t, 11> buzzer_frame(int address, int32_t pattern) {
  // The readers take the pattern low byte first.
  return write_one(address, kBuzzerRegister, lo(pattern), hi(pattern));
}

int forwarded_frame(std::span<const uint8_t> req, std::array<uint8_t, kTxFrameSize>& out) {
  const ByteReader in(req);
  if (!in.has(kRtuFunction, 1)) return 0;
  int head = 0;
  if (in.u8(kRtuFunction) == kFnReadHolding) {
    head = kReadFrameSize - 2;
  } else if (in.u8(kRtuFunction) == kFnWriteMultiple) {
    if (!in.has(kWriteFrameHead - 1, 1)) return 0;
    const int n = in.u8(kWriteFrameHead - 1);
    if (n > kForwardMaxData) return 0;
    head = kWriteFrameHead + n;
  } else {
    return 0;
  }
  const auto body = in.sub(0, head);
  if (body.empty()) return 0;
  std::copy(body.begin(), body.end(), out.begin());
  put_crc(std::span(out).first(static_cast<std::size_t>(head + 2)));
  return head + 2;
}

int expected_answer_size(std::span<const uint8_t> request) {
  const ByteReader in(request);
  if (in.u8(kRtuFunction) == kFnWriteMultiple) return kF16AnswerSize;
  if (in.u8(kRtuFunction) != kFnReadHolding) return 0;
  // The byte count is 8 bits: 127 registers at most can come back.
  return kF03Overhead + 2 * std::min(in.be16(kRtuQuantity), 127);
}

bool f03_complete(std::span<const uint8_t> held) {
  return held.size() >= kF03Overhead && held[kRtuFunction] == kFnReadHolding &&
         held.size() >= std::size_t{held[kRtuByteCount]} + kF03Overhead;
}

bool f03_crc_ok(std::span<const uint8_t> held) {
  return crc_ok(held.first(std::size_t{held[kRtuByteCount]} + kF03Overhead));
}

bool f16_complete(std::span<const uint8_t> held) {
  return held.size() >= kF16AnswerSize && held[kRtuFunction] == kFnWriteMultiple;
}

bool f16_crc_ok(std::span<const uint8_t> held) {
  return crc_ok(held.first(kF16AnswerSize));
}

bool acknowledges(uint8_t command, std::span<const uint8_t> answer) {
  int reg = 0;
  if (command == kActionRelay)
    reg = kRelayRegister;
  else if (command == kActionBuzzerN || command == kActionBuzzerS)
    reg = kBuzzerRegister;
  else
    return false;
  // The acknowledgement repeats the start register of the write it answers.
  return answer.size() >= 4 && answer[2] == hi(reg) && answer[3] == lo(reg);
}

bool answers_request(std::span<const uint8_t> request, std::span<const uint8_t> answer) {
  const ByteReader req(request);
  if (answer.size() < 3 || req.u8(kRtuFunction) != answer[kRtuFunction]) return false;
  if (answer[kRtuFunction] == kFnReadHolding)
    return answer[kRtuByteCount] == 2 * req.be16(kRtuQuantity);
  return answer.size() >= 6 &&
         std::equal(answer.begin() + 2, answer.begin() + 6, request.begin() + 2);
}

}  // namespace netbuf
