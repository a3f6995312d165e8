// The control socket's messages as bytes. The vectors are written out by
// hand from the layout in the README (length, kind, fields big-endian, texts
// with a u32 length), not made with the encoder they check.
#include "control/window_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/request_stream.h"
#include "tests/unit/request_encoder.h"

namespace netbuf::control {
namespace {

std::string hex(const std::string& bytes) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::string unhex(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

std::span<const uint8_t> span_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

constexpr const char* kHello =
    "00000014"
    "01"
    "0000000D"
    "6E65746275662D77696E646F77"
    "0001";

TEST(WindowMessages, RequestsAreTheseBytesAndReadBackAsThemselves) {
  const struct {
    std::string frame;
    const char* hex;
  } cases[] = {
      {hello_request(), kHello},
      {categories_request(0x05),
       "0000000202"
       "05"},
      {save_request({120, "1502", "1060; x", 0x8001, 0x0001}),
       "0000001C03"
       "00000078"
       "00000004"
       "31353032"
       "00000007"
       "313036303B2078"
       "8001"
       "0001"},
      {plain_request(Request::kTestCard), "0000000104"},
      {poll_request(true),
       "0000000206"
       "01"},
      {choose_port_request(12),
       "0000000507"
       "0000000C"},
      {plain_request(Request::kQuit), "000000010A"},
  };
  RequestStream stream;
  for (const auto& c : cases) {
    EXPECT_EQ(hex(c.frame), c.hex);
    stream.feed(span_of(c.frame));
    const auto item = stream.next();
    ASSERT_TRUE(item) << c.hex;
    EXPECT_EQ(encode_request(item->message), c.frame);
  }
  EXPECT_FALSE(stream.next());
}

TEST(WindowMessages, AStreamEndsAtTheFirstThingThatIsNotARequest) {
  using Step = RequestStream::Step;
  const struct {
    const char* name;
    std::string bytes;
    std::vector<Step> steps;
  } cases[] = {
      {"hello in pieces", kHello, {Step::kHello}},
      {"request before hello", "0000000104", {Step::kBroken}},
      {"second hello", std::string(kHello) + kHello, {Step::kHello, Step::kBroken}},
      {"other version",
       "00000014"
       "01"
       "0000000D"
       "6E65746275662D77696E646F77"
       "0002",
       {Step::kOtherVersion}},
      {"wrong magic",
       "00000014"
       "01"
       "0000000D"
       "6E65746275662D77696E646F78"
       "0001",
       {Step::kBroken}},
      {"empty frame", "00000000", {Step::kBroken}},
      {"longer than any request", "00004001", {Step::kBroken}},
      {"unknown kind", std::string(kHello) + "000000010B", {Step::kHello, Step::kBroken}},
      {"a byte too many", std::string(kHello) + "000000020400", {Step::kHello, Step::kBroken}},
      {"a category beyond four",
       std::string(kHello) + "0000000202"
                             "10",
       {Step::kHello, Step::kBroken}},
      {"poll neither on nor off",
       std::string(kHello) + "0000000206"
                             "02",
       {Step::kHello, Step::kBroken}},
      {"text longer than its frame",
       std::string(kHello) + "0000000903"
                             "00000078"
                             "FFFFFFFF",
       {Step::kHello, Step::kBroken}},
  };
  for (const auto& c : cases) {
    RequestStream stream;
    const std::string bytes = unhex(c.bytes);
    std::vector<Step> got;
    // One byte at a time: a frame is whole only with its last byte.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      stream.feed(span_of(bytes.substr(i, 1)));
      while (auto item = stream.next()) got.push_back(item->step);
    }
    EXPECT_EQ(got, c.steps) << c.name;
  }
}

TEST(WindowMessages, AWindowReadsNoticesAndSkipsKindsItDoesNotKnow) {
  const std::string hello = hello_notice(true, "Brennik");
  EXPECT_EQ(hex(hello),
            "0000002001"
            "0000000D"
            "6E65746275662D77696E646F77"
            "0001"
            "01"
            "00000007"
            "4272656E6E696B");
  const auto h = decode_notice(span_of(hello).subspan(4));
  ASSERT_TRUE(h);
  EXPECT_EQ((std::tuple{h->kind, h->version, h->flag, h->text}),
            (std::tuple{Notice::kHello, kVersion, true, std::string("Brennik")}));

  const auto later =
      decode_notice(span_of(unhex("63"
                                  "0102")));  // a kind of a later netbuf
  ASSERT_TRUE(later);
  EXPECT_FALSE(later->known);

  const auto ports = decode_notice(span_of(ports_notice({{3, "/dev/null"}})).subspan(4));
  ASSERT_TRUE(ports && ports->ports.size() == 1);
  EXPECT_EQ(ports->ports[0].device, "/dev/null");
  EXPECT_FALSE(
      decode_notice(span_of(unhex("02"
                                  "07"
                                  "00000000"))));  // no such figure
  EXPECT_FALSE(
      decode_notice(span_of(unhex("07"
                                  "00000005"
                                  "41"))));  // text cut short

  const std::string table = reader_table_notice({{7, true, 1000, 4, 2, 123}});
  EXPECT_EQ(hex(table),
            "00000014"
            "0D"
            "01"
            "07"
            "01"
            "000003E8"
            "00000004"
            "00000002"
            "0000007B");
  const auto t = decode_notice(span_of(table).subspan(4));
  ASSERT_TRUE(t && t->reader_table.size() == 1);
  const ReaderTableRow& row = t->reader_table[0];
  EXPECT_EQ((std::tuple{row.address, row.answering, row.answers, row.crc_errors, row.timeouts,
                        row.answer_time_tenths_ms}),
            (std::tuple{uint8_t{7}, true, 1000u, 4u, 2u, 123u}));
  EXPECT_FALSE(decode_notice(span_of(unhex("0D"
                                           "41"))));  // more rows than readers can be
}

}  // namespace
}  // namespace netbuf::control
