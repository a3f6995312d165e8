#include "core/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace netbuf {
namespace {

// The one parser serves the remote-control fields (32 bits) and netbuf-db's
// integer options (64 bits): strict decimal, nothing around it.
TEST(Decimal, StrictWithinTheType) {
  struct Case {
    const char* text;
    std::optional<int32_t> v32;
    std::optional<int64_t> v64;
  };
  const Case cases[] = {
      {"0", 0, 0},
      {"-0", 0, 0},
      {"007", 7, 7},
      {"2147483647", 2147483647, 2147483647},
      {"-2147483648", INT32_MIN, -2147483648LL},
      {"2147483648", std::nullopt, 2147483648LL},
      {"-9223372036854775808", std::nullopt, INT64_MIN},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"+1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"0x1", std::nullopt, std::nullopt},
      {"--1", std::nullopt, std::nullopt},
      {"1-", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_decimal<int32_t>(c.text), c.v32);
    EXPECT_EQ(parse_decimal<int64_t>(c.text), c.v64);
  }
}

}  // namespace
}  // namespace netbuf
