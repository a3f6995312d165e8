#include "core/hex_text.h"

#include <gtest/gtest.h>

namespace netbuf {

TEST(HexText, FormatsBytesAndWords) {
  const uint8_t b[] = {0x00, 0x0A, 0xFF};
  EXPECT_EQ(hex_bytes(b, " "), " 00 0A FF");
  EXPECT_EQ(hex_bytes(b, ""), "000AFF");
  EXPECT_EQ(hex_bytes(std::span(b).first(0), " "), "");
  // A held code is compared with the bytes as hex_bytes would write them.
  EXPECT_TRUE(hex_equals(b, "000AFF"));
  EXPECT_FALSE(hex_equals(b, "000aff"));
  EXPECT_FALSE(hex_equals(b, "000AFE"));
  EXPECT_FALSE(hex_equals(b, "000AFF00"));
  EXPECT_TRUE(hex_equals(std::span(b).first(0), ""));
  EXPECT_EQ(hex2(0x1AB), "AB");
  EXPECT_EQ(hex_min(0x12, 4), "0012");
  EXPECT_EQ(hex_min(0x789A, 4), "789A");
  EXPECT_EQ(hex_min(0x12345, 4), "12345");
  EXPECT_EQ(dec(-5), "-5");
}

}  // namespace netbuf
