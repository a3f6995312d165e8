#include "readerbus/rtu_frames.h"

#include <algorithm>

#include "pclink/mbap.h"

namespace netbuf {

namespace {

// Modbus TCP request fields, counted from the start of the MBAP header.
constexpr int kMbapUnit = mbap::kUnit;
constexpr int kMbapFunction = mbap::kFunction;
constexpr int kMbapReadSize = 12;   // header, function, start, quantity
constexpr int kMbapByteCount = 12;  // of a write
constexpr int kMbapWriteHead = 13;  // bytes before the data of a write

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
  put_crc(f.data(), 9);
  return f;
}

}  // namespace

uint16_t crc16(const uint8_t* buf, int from, int to) {
  uint16_t c = 0xFFFF;
  for (int i = from; i < to; ++i) {
    c ^= buf[i];
    for (int bit = 0; bit < 8; ++bit)
      c = (c & 1u) ? static_cast<uint16_t>((c >> 1) ^ 0xA001u) : c >> 1;
  }
  return c;
}

void put_crc(uint8_t* buf, int n) {
  const uint16_t c = crc16(buf, 0, n);
  buf[n] = lo(c);
  buf[n + 1] = hi(c);
}

std::array<uint8_t, 8> poll_frame(int address) {
  // Status word, one spare register and the three card-code registers.
  std::array<uint8_t, 8> f{lo(address), kFnReadHolding, 0x00, 0x0A, 0x00, 0x05};
  put_crc(f.data(), 6);
  return f;
}

std::array<uint8_t, 11> relay_frame(int address) {
  return write_one(address, kRelayRegister, 0x00, 0xFE);
}

std::array<uint8_t, 11> buzzer_frame(int address, int32_t pattern) {
  // The readers take the pattern low byte first.
  return write_one(address, kBuzzerRegister, lo(pattern), hi(pattern));
}

int forwarded_frame(const uint8_t* req, int len, std::array<uint8_t, kTxFrameSize>& out) {
  if (len <= kMbapFunction) return 0;
  if (req[kMbapFunction] == kFnReadHolding) {
    if (len < kMbapReadSize) return 0;
    std::copy(req + kMbapUnit, req + kMbapReadSize, out.begin());
    put_crc(out.data(), kReadFrameSize - 2);
    return kReadFrameSize;
  }
  if (req[kMbapFunction] == kFnWriteMultiple) {
    if (len < kMbapWriteHead) return 0;
    const int n = req[kMbapByteCount];
    if (n > kForwardMaxData || len < kMbapWriteHead + n) return 0;
    std::copy(req + kMbapUnit, req + kMbapWriteHead + n, out.begin());
    put_crc(out.data(), kWriteFrameHead + n);
    return kWriteFrameHead + n + 2;
  }
  return 0;
}

bool f03_complete(const uint8_t* buf, int len) {
  return len >= kF03Overhead && buf[kRtuFunction] == kFnReadHolding &&
         len >= buf[kRtuByteCount] + kF03Overhead;
}

bool f03_crc_ok(const uint8_t* buf) {
  const int n = buf[kRtuByteCount];
  return crc16(buf, 0, n + 3) == buf[n + 3] + 256 * buf[n + 4];
}

bool f16_complete(const uint8_t* buf, int len) {
  return len >= kF16AnswerSize && buf[kRtuFunction] == kFnWriteMultiple;
}

bool f16_crc_ok(const uint8_t* buf) {
  return crc16(buf, 0, 6) == buf[6] + 256 * buf[7];
}

bool acknowledges_relay(const uint8_t* buf) {
  // The acknowledgement repeats the start register of the write it answers.
  return buf[2] == hi(kRelayRegister) && buf[3] == lo(kRelayRegister);
}

}  // namespace netbuf
