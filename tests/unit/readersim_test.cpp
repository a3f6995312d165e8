// The simulated readers without the line: framing, answers, console commands.
// CRC bytes in the vectors were computed with pymodbus (computeCRC), not with
// our own code.
#include <gtest/gtest.h>

#include <vector>

#include "tests/unit/byte_vectors.h"
#include "tools/readersim/frame_crc.h"
#include "tools/readersim/request_framer.h"
#include "tools/readersim/sim_readers.h"

namespace netbuf::readersim {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Frame> feed(RequestFramer& f, const Bytes& b) {
  std::vector<Frame> out;
  f.feed(b, out);
  return out;
}

Bytes answer_of(const Outcome& o) {
  Bytes all;
  for (const Chunk& c : o.chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
  return all;
}

const Bytes kPoll1 = {0x01, 0x03, 0x00, 0x0A, 0x00, 0x05, 0xA5, 0xCB};
const Bytes kRelay1 = {0x01, 0x10, 0x00, 0x96, 0x00, 0x01, 0x02, 0x00, 0xFE, 0x3A, 0xE6};

TEST(ReaderSim, OwnCrcAgreesWithPymodbusAndEveryTableEntry) {
  for (const auto& t : netbuf::testing::kPymodbusCrcs) {
    Bytes frame = netbuf::testing::hex(t.data);
    append_crc(frame);
    EXPECT_EQ(Bytes(frame.end() - 2, frame.end()), netbuf::testing::hex(t.crc)) << t.data;
    EXPECT_TRUE(frame_crc_ok(frame) || frame.size() < 3) << t.data;
  }
  // A mistyped entry would only show on inputs that happen to reach it, so
  // each one is checked against the polynomial division it stands for.
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    EXPECT_EQ(kCrcTable[i], c) << "entry " << i;
  }
}

TEST(ReaderSim, AnswersPollRelayAndBuzzerAsTheBufferExpects) {
  ReaderLine line({1, 3, 5}, 19200, false);

  Outcome o = line.on_request(kPoll1);
  // 01 03, byte count 10, five zero registers, CRC
  EXPECT_EQ(answer_of(o), (Bytes{0x01, 0x03, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0xB6}));
  EXPECT_EQ(o.lines, std::vector<std::string>{"poll address 1"});
  ASSERT_EQ(o.chunks.size(), 1u);
  EXPECT_EQ(o.chunks[0].at_us, 0);

  // A presented card with bit 15 of the status word: status 80 00, spare
  // 00 00, code 0A 1B 2C 3D 4E 5F.
  EXPECT_EQ(line.on_command("card 5 0A1B2C3D4E5F").lines.back(), "ok");
  EXPECT_EQ(line.on_command("status 5 0x8000").lines.back(), "ok");
  o = line.on_request(Bytes{0x05, 0x03, 0x00, 0x0A, 0x00, 0x05, 0xA4, 0x4F});
  EXPECT_EQ(answer_of(o), (Bytes{0x05, 0x03, 0x0A, 0x80, 0x00, 0x00, 0x00, 0x0A, 0x1B, 0x2C, 0x3D,
                                 0x4E, 0x5F, 0xA5, 0xB6}));

  o = line.on_request(kRelay1);
  EXPECT_EQ(answer_of(o), (Bytes{0x01, 0x10, 0x00, 0x96, 0x00, 0x01, 0xE1, 0xE5}));
  EXPECT_EQ(o.lines, std::vector<std::string>{"relay fired at address 1"});

  // Buzzer pattern 0x8001 goes low byte first: data 01 80.
  o = line.on_request(Bytes{0x03, 0x10, 0x00, 0x97, 0x00, 0x01, 0x02, 0x01, 0x80, 0xA3, 0xE7});
  EXPECT_EQ(answer_of(o), (Bytes{0x03, 0x10, 0x00, 0x97, 0x00, 0x01, 0xB1, 0xC7}));
  EXPECT_EQ(o.lines, std::vector<std::string>{"buzzer pattern 0x8001 at address 3"});

  // Reader 7 is not simulated: no answer, nothing printed.
  o = line.on_request(Bytes{0x07, 0x03, 0x00, 0x0A, 0x00, 0x05, 0xA5, 0xAD});
  EXPECT_TRUE(o.chunks.empty());
  EXPECT_TRUE(o.lines.empty());

  ReaderLine quiet({1}, 19200, true);
  o = quiet.on_request(kPoll1);
  EXPECT_TRUE(o.lines.empty());
  EXPECT_EQ(answer_of(o).size(), 15u);
}

TEST(ReaderSim, ForwardedRequestsUseTheRegisterMapAndItsBounds) {
  ReaderLine line({2}, 19200, false);

  // Write registers 0 and 1 with 0001 and 0002, then read them back.
  Outcome o = line.on_request(
      Bytes{0x02, 0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02, 0x2C, 0xEA});
  EXPECT_EQ(answer_of(o), (Bytes{0x02, 0x10, 0x00, 0x00, 0x00, 0x02, 0x41, 0xFB}));
  EXPECT_EQ(o.lines, std::vector<std::string>{"write 2 registers at 0 at address 2"});
  o = line.on_request(Bytes{0x02, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x38});
  EXPECT_EQ(answer_of(o), (Bytes{0x02, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02, 0x19, 0x32}));
  EXPECT_EQ(o.lines, std::vector<std::string>{"read 2 registers from 0 at address 2"});
  o = line.on_request(Bytes{0x02, 0x03, 0x00, 0x01, 0x00, 0x01, 0xD5, 0xF9});
  EXPECT_EQ(answer_of(o), (Bytes{0x02, 0x03, 0x02, 0x00, 0x02, 0x7D, 0x85}));
  EXPECT_EQ(o.lines, std::vector<std::string>{"read 1 register from 1 at address 2"});

  // Registers 254..256: the last one is past the map.
  o = line.on_request(Bytes{0x02, 0x03, 0x00, 0xFE, 0x00, 0x03, 0x64, 0x08});
  EXPECT_EQ(answer_of(o), (Bytes{0x02, 0x83, 0x02, 0x30, 0xF1}));
  EXPECT_EQ(o.lines, (std::vector<std::string>{"read 3 registers from 254 at address 2",
                                               "exception 2 at address 2"}));
  // 126 registers is one more than a read may ask for.
  o = line.on_request(Bytes{0x02, 0x03, 0x00, 0x0A, 0x00, 0x7E, 0xE5, 0xDB});
  EXPECT_EQ(answer_of(o), (Bytes{0x02, 0x83, 0x03, 0xF1, 0x31}));
  // Writing registers 255 and 256.
  o = line.on_request(
      Bytes{0x02, 0x10, 0x00, 0xFF, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02, 0x63, 0xEE});
  EXPECT_EQ(answer_of(o), (Bytes{0x02, 0x90, 0x02, 0x3D, 0xC1}));
  // Reading the last register alone is fine.
  o = line.on_request(Bytes{0x02, 0x03, 0x00, 0xFF, 0x00, 0x01, 0xB4, 0x09});
  EXPECT_EQ(answer_of(o).size(), 7u);
}

TEST(ReaderSim, FramerFindsRequestsInSplitNoisyAndForeignTraffic) {
  RequestFramer f;
  // A poll in three pieces.
  EXPECT_TRUE(feed(f, {0x01, 0x03}).empty());
  EXPECT_TRUE(feed(f, {0x00, 0x0A, 0x00}).empty());
  auto out = feed(f, {0x05, 0xA5, 0xCB});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, Frame::request);
  EXPECT_EQ(out[0].bytes, kPoll1);
  EXPECT_EQ(f.held(), 0u);

  // Garbage in front, and a poll and a relay frame in one chunk.
  Bytes chunk = {0xFF, 0x00, 0x83};
  chunk.insert(chunk.end(), kPoll1.begin(), kPoll1.end());
  chunk.insert(chunk.end(), kRelay1.begin(), kRelay1.end());
  out = feed(f, chunk);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes, kPoll1);
  EXPECT_EQ(out[1].bytes, kRelay1);

  // A broken CRC is reported once; the good poll behind it still counts.
  chunk = {0x01, 0x03, 0x00, 0x0A, 0x00, 0x05, 0xA5, 0xCC};
  chunk.insert(chunk.end(), kPoll1.begin(), kPoll1.end());
  out = feed(f, chunk);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].kind, Frame::crc_error);
  EXPECT_EQ(out[1].kind, Frame::request);
  EXPECT_EQ(out[1].bytes, kPoll1);

  // Another reader's poll answer and relay answer: not requests, no error.
  chunk = {0x07, 0x03, 0x0A, 0,    0,    0,    0,    0,    0,    0,    0,   0,
           0,    0x2D, 0x70, 0x07, 0x10, 0x00, 0x96, 0x00, 0x01, 0xE1, 0x83};
  chunk.insert(chunk.end(), kPoll1.begin(), kPoll1.end());
  out = feed(f, chunk);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, kPoll1);

  // A partial frame dies with the burst and does not spoil the next one.
  EXPECT_TRUE(feed(f, {0x01, 0x03, 0x00}).empty());
  out.clear();
  f.end_of_burst(out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(f.held(), 0u);
  EXPECT_EQ(feed(f, kPoll1).size(), 1u);

  // A false write header announcing 128 data bytes swallows a poll until the
  // burst ends; then the poll is found.
  chunk = {0x05, 0x10, 0x00, 0x01, 0x00, 0x40, 0x80};
  chunk.insert(chunk.end(), kPoll1.begin(), kPoll1.end());
  EXPECT_TRUE(feed(f, chunk).empty());
  out.clear();
  f.end_of_burst(out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, kPoll1);
}

TEST(ReaderSim, MisbehavesOnRequest) {
  ReaderLine line({1}, 19200, false);
  const Bytes good = {0x01, 0x03, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0xB6};

  EXPECT_EQ(line.on_command("badcrc 1 1").lines.back(), "ok");
  Bytes broken = good;
  broken.back() ^= 0xFF;
  EXPECT_EQ(answer_of(line.on_request(kPoll1)), broken);
  EXPECT_EQ(answer_of(line.on_request(kPoll1)), good);

  // Silent: the request is still printed, nothing goes out.
  line.on_command("silent 1 on");
  Outcome o = line.on_request(kRelay1);
  EXPECT_TRUE(o.chunks.empty());
  EXPECT_EQ(o.lines, std::vector<std::string>{"relay fired at address 1"});
  line.on_command("silent 1 off");

  // 15 bytes in chunks of 4, 100 ms late; at 19200 baud a byte takes 520 us.
  line.on_command("split 1 4");
  line.on_command("delay 1 100");
  o = line.on_request(kPoll1);
  ASSERT_EQ(o.chunks.size(), 4u);
  EXPECT_EQ(answer_of(o), good);
  EXPECT_EQ(o.chunks[0].at_us, 100'000);
  EXPECT_EQ(o.chunks[1].at_us, 100'000 + 4 * 520 + 3000);
  EXPECT_EQ(o.chunks[3].bytes.size(), 3u);

  line.on_command("split 1 0");
  line.on_command("delay 1 0");
  EXPECT_EQ(line.on_request(kPoll1).chunks.size(), 1u);

  o = line.on_command("noise 00 ff 1A");
  EXPECT_EQ(answer_of(o), (Bytes{0x00, 0xFF, 0x1A}));
  EXPECT_EQ(o.lines.back(), "ok");
  EXPECT_TRUE(line.on_command("quit").quit);
}

TEST(ReaderSim, ConsoleCommandsCheckTheirArguments) {
  ReaderLine line({4}, 19200, false);
  // Ten digits are the code as the buffer shows it: 00 goes in front.
  line.on_command("card 4 123456789A");
  line.on_command("reg 4 20 0xBEEF");
  line.on_command("reg 4 11 7");
  EXPECT_EQ(line.on_command("dump 4").lines,
            (std::vector<std::string>{"registers 0-20 at address 4: 0000 0000 0000 0000 0000 0000 "
                                      "0000 0000 0000 0000 0000 0007 0012 3456 789A 0000 0000 "
                                      "0000 0000 0000 BEEF",
                                      "ok"}));

  for (const char* bad :
       {"card 4 12345", "card 4 0A1B2C3D4E5G", "card 9 0A1B2C3D4E5F", "status 4 0x10000",
        "reg 4 256 1", "silent 4 maybe", "split 4", "noise 0", "frobnicate", "delay 4 -1"}) {
    const Outcome o = line.on_command(bad);
    ASSERT_FALSE(o.lines.empty()) << bad;
    EXPECT_EQ(o.lines.back().rfind("error: ", 0), 0u) << bad;
  }
  EXPECT_TRUE(line.on_command("   ").lines.empty());

  EXPECT_EQ(parse_reader_list("1,2,5-8"), (std::vector<int>{1, 2, 5, 6, 7, 8}));
  EXPECT_EQ(parse_reader_list("255"), (std::vector<int>{255}));
  for (const char* bad : {"", "0", "256", "3-1", "1,", "1,,2", "a", "1-40"}) {
    EXPECT_FALSE(parse_reader_list(bad)) << bad;
  }
}

}  // namespace
}  // namespace netbuf::readersim
