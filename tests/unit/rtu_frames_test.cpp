#include "readerbus/rtu_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/byte_vectors.h"
#include "tests/unit/line_ticks.h"

namespace netbuf {
namespace {

using testing::hex;
using testing::wire_text;

TEST(RtuFrames, RequestFramesMatchWorkedExamples) {
  EXPECT_EQ(wire_text(poll_frame(1)), "01 03 00 0A 00 05 A5 CB");
  EXPECT_EQ(wire_text(relay_frame(1)), "01 10 00 96 00 01 02 00 FE 3A E6");
  EXPECT_EQ(wire_text(buzzer_frame(1, 0)), "01 10 00 97 00 01 02 00 00 BA B7");
  // Pattern low byte first, bits above 15 not sent. CRC from pymodbus.
  EXPECT_EQ(wire_text(buzzer_frame(1, 0x0102)), "01 10 00 97 00 01 02 02 01 7A 17");
  EXPECT_EQ(wire_text(buzzer_frame(1, 0x70102)), "01 10 00 97 00 01 02 02 01 7A 17");
  // Only the low 8 bits of adr485 address the reader. CRC from pymodbus.
  EXPECT_EQ(wire_text(poll_frame(257)), "01 03 00 0A 00 05 A5 CB");
  EXPECT_EQ(wire_text(poll_frame(300)), "2C 03 00 0A 00 05 A3 B6");
}

TEST(RtuFrames, CrcAgreesWithPymodbus) {
  EXPECT_EQ(crc16({}), 0xFFFF);
  EXPECT_FALSE(crc_ok(hex("FF")));
  for (const auto& t : testing::kPymodbusCrcs) {
    // A leading stray byte checks that the span's start is honoured.
    std::vector<uint8_t> buf = hex("FF " + std::string(t.data));
    buf.resize(buf.size() + 2);
    const std::span<uint8_t> frame = std::span(buf).subspan(1);
    const uint16_t c = crc16(frame.first(frame.size() - 2));
    EXPECT_EQ(
        wire_text(std::vector<uint8_t>{static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)}),
        t.crc)
        << t.data;
    EXPECT_FALSE(crc_ok(frame)) << t.data;
    put_crc(frame);
    EXPECT_EQ(wire_text(std::span(buf).last(2)), t.crc) << t.data;
    EXPECT_TRUE(crc_ok(frame)) << t.data;
  }
}

TEST(RtuFrames, AcceptsOnlyCompleteIntactAnswers) {
  auto f16 = hex("01 10 00 96 00 01 E1 E5");
  EXPECT_TRUE(f16_complete(f16));
  EXPECT_FALSE(f16_complete(std::span(f16).first(7)));
  EXPECT_TRUE(f16_crc_ok(f16));
  f16[5] = 0x02;
  EXPECT_FALSE(f16_crc_ok(f16));

  auto f03 = hex("01 03 0A 00 00 00 00 01 02 03 04 05 06 9E 70");
  EXPECT_TRUE(f03_complete(f03));
  EXPECT_FALSE(f03_complete(std::span(f03).first(14)));
  EXPECT_FALSE(f03_complete(std::span(f03).first(4)));
  EXPECT_TRUE(f03_crc_ok(f03));
  f03[14] = 0x71;
  EXPECT_FALSE(f03_crc_ok(f03));

  const auto exc = hex("01 83 02 C0 F1 00 00 00");
  EXPECT_FALSE(f03_complete(exc));
  EXPECT_FALSE(f16_complete(exc));
}

TEST(RtuFrames, ForwardedFrameFromPcRequest) {
  std::array<uint8_t, kTxFrameSize> out;
  out.fill(0xEE);
  const auto read = hex("02 03 00 00 00 02");  // unit, function, start, quantity
  ASSERT_EQ(forwarded_frame(std::span(read).first(6), out), 8);
  EXPECT_EQ(wire_text(std::span(out).first(8)), "02 03 00 00 00 02 C4 38");

  const auto write = hex("03 10 00 05 00 01 02 12 34");  // ... byte count 2, data
  ASSERT_EQ(forwarded_frame(std::span(write).first(9), out), 11);
  EXPECT_EQ(wire_text(std::span(out).first(11)), "03 10 00 05 00 01 02 12 34 B2 12");

  // Rejected: out stays as it was.
  out.fill(0xEE);
  EXPECT_EQ(forwarded_frame(std::span(read).first(5), out), 0);   // read cut short
  EXPECT_EQ(forwarded_frame(std::span(write).first(8), out), 0);  // data cut short
  EXPECT_EQ(forwarded_frame(std::span(write).first(6), out), 0);  // no byte count
  EXPECT_EQ(forwarded_frame(std::span(read).first(1), out), 0);   // no function code
  auto f4 = read;
  f4[1] = 0x04;
  EXPECT_EQ(forwarded_frame(std::span(f4).first(6), out), 0);
  for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
}

}  // namespace
}  // namespace netbuf
