#include "modbus/byte_span.h"

#include <gtest/gtest.h>

#include <array>

#include "modbus/mbap.h"
#include "tests/unit/byte_vectors.h"

namespace netbuf {
namespace {

using testing::Bytes;
using testing::hex;

// Every answer goes through one writer: a write that does not fit is not
// made at all, whatever the fill level says.
TEST(ByteWriter, WritesWholeOrNothing) {
  struct Case {
    int32_t used;  // fill level before the write
    Bytes write;
    bool ok;
    int32_t after;    // fill level after it
    const char* buf;  // the 4-byte buffer after it
  };
  const Case cases[] = {
      {0, hex("01 02"), true, 2, "01 02 EE EE"},
      {2, hex("01 02"), true, 4, "EE EE 01 02"},   // exactly to the end
      {3, hex("01 02"), false, 3, "EE EE EE EE"},  // one byte short: nothing
      {4, hex(""), true, 4, "EE EE EE EE"},
      {5, hex("01"), false, 5, "EE EE EE EE"},    // fill level past the end
      {-1, hex("01"), false, -1, "EE EE EE EE"},  // or below it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.used);
    std::array<uint8_t, 4> buf;
    buf.fill(0xEE);
    int32_t used = c.used;
    ByteWriter out(buf, used);
    EXPECT_EQ(out.put(c.write), c.ok);
    EXPECT_EQ(used, c.after);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), hex(c.buf));
  }
}

TEST(ByteReader, ReadsBigEndianAndNothingPastTheEnd) {
  const Bytes b = hex("12 34 56 78 9A");
  const ByteReader in(b);
  EXPECT_EQ(in.be16(0), 0x1234);
  EXPECT_EQ(in.be32(1), 0x3456789Au);
  EXPECT_TRUE(in.has(1, 4));
  EXPECT_FALSE(in.has(2, 4));
  EXPECT_FALSE(in.has(-1, 1));
  EXPECT_EQ(in.be16(4), 0x9A00);  // the byte past the end reads as 0
  EXPECT_TRUE(in.sub(2, 4).empty());
  EXPECT_EQ(Bytes(in.sub(3, 2).begin(), in.sub(3, 2).end()), hex("78 9A"));
}

TEST(MbapHeader, PrefixCarriesTidAndLowLengthByte) {
  std::array<uint8_t, 8> buf{};
  int32_t used = 0;
  ByteWriter out(buf, used);
  // tid 0x12 0x34, protocol 00 00, length high 00 always, low byte 0x06.
  ASSERT_TRUE(mbap::put_prefix(out, 0x12, 0x34, 6));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + used), hex("12 34 00 00 00 06"));
  // 261 = 0x105: the length wraps in its low byte, the high byte stays 00;
  // with two bytes left, a further header is not written at all.
  used = 0;
  ASSERT_TRUE(mbap::put_prefix(out, 0x00, 0x07, 261));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + used), hex("00 07 00 00 00 05"));
  EXPECT_FALSE(mbap::put_prefix(out, 0x00, 0x08, 6));
  EXPECT_EQ(used, 6);
}

}  // namespace
}  // namespace netbuf
