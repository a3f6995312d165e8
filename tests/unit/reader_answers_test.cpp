#include "readerbus/reader_answers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readerbus/poll_cycle.h"
#include "tests/unit/byte_vectors.h"
#include "tests/unit/fakes.h"

namespace netbuf {
namespace {

using Lines = std::vector<std::string>;
using testing::cat;
using testing::hex;

// Poll answers of reader 1 (status word, code); CRCs from pymodbus.
const auto kCode010203 = hex("01 03 0A 00 00 00 00 01 02 03 04 05 06 9E 70");
const auto kCode0A1B2C = hex("01 03 0A 00 00 00 00 0A 1B 2C 3D 4E 5F AC DA");
const auto kCode0A1B2CRef = hex("01 03 0A 80 00 00 00 0A 1B 2C 3D 4E 5F AB 32");
const auto kCode112233 = hex("01 03 0A 00 00 00 00 11 22 33 44 55 66 2F DB");
const auto kCodeZero = hex("01 03 0A 00 00 00 00 00 00 00 00 00 00 24 B6");
const auto kShortRead = hex("01 03 02 00 2A 39 9B");
const auto kRelayAck = hex("01 10 00 96 00 01 E1 E5");
const auto kBuzzerAck = hex("01 10 00 97 00 01 B0 25");

class ReaderAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    w.serial.opened = true;
    w.pc.conns.resize(1);
    w.st.reader_count = 2;
    w.st.readers[1].adr485 = 1;
    w.st.readers[2].adr485 = 2;
  }
  void feed(const std::vector<uint8_t>& b) { on_serial_receive(w.ctx, b); }
  ReaderEntry& r1() { return w.st.readers[1]; }
  testing::FakeWorld w;
};

TEST_F(ReaderAnswer, CollectsSplitAnswersAndSkipsNoise) {
  w.log.on[static_cast<int>(LogCategory::Events)] = false;
  w.log.log_line("BUF->READER:0103000A0005A5CB");
  feed({kCode010203.begin(), kCode010203.begin() + 9});
  EXPECT_EQ(w.st.rx_len, 9);
  EXPECT_EQ(r1().last_code, "");
  feed({kCode010203.begin() + 9, kCode010203.end()});
  // The dump continues the request's line.
  EXPECT_EQ(w.log.lines, (Lines{"BUF->READER:0103000A0005A5CBREADER->BUF:*01*03*0A*00*00*00*00*01*"
                                "02*03*04*05*06*9E*70"}));
  EXPECT_EQ(r1().last_code, "010203040506");
  EXPECT_EQ(w.st.rx_len, 0);

  w.log.log_clear();
  feed(cat({hex("00"), kCode0A1B2C}));
  EXPECT_EQ(w.log.lines, (Lines{"READER->BUF:*01*03*0A*00*00*00*00*0A*1B*2C*3D*4E*5F*AC*DA"}));
  // An exception answer is shed byte by byte, without a line of its own.
  w.log.log_clear();
  feed(hex("01 83 02 C0 F1"));
  EXPECT_TRUE(w.log.lines.empty());
  feed(kCode112233);
  EXPECT_EQ(w.log.lines, (Lines{"READER->BUF:*01*03*0A*00*00*00*00*11*22*33*44*55*66*2F*DB"}));
  EXPECT_EQ(w.st.rx_len, 0);
}

TEST_F(ReaderAnswer, OverflowDropsEverythingHeldAndLongHeadersAreNoise) {
  w.log.all(false);
  feed({kCode010203.begin(), kCode010203.begin() + 9});
  feed(std::vector<uint8_t>(kRxAccLimit - 8, 0));  // one byte more than the longest frame
  EXPECT_EQ(w.st.rx_len, 0);
  EXPECT_EQ(r1().last_code, "");
  // Nothing stale is left behind, and a whole longest frame still fits.
  feed(cat({std::vector<uint8_t>(kRxAccLimit - kCode010203.size(), 0), kCode010203}));
  EXPECT_EQ(r1().last_code, "010203040506");

  // A header longer than a poll answer, with no pass-through read waiting at
  // that address, is noise: it does not swallow the answer behind it.
  feed(cat({hex("01 03 FA"), kCode0A1B2C}));
  EXPECT_EQ(r1().last_code, "0A1B2C3D4E5F");
  EXPECT_EQ(w.st.rx_len, 0);
}

TEST_F(ReaderAnswer, CrcErrorsChangeNothing) {
  r1().action = kActionRelay;
  r1().sent = kActionRelay;
  auto bad = kCode0A1B2C;
  bad[14] ^= 1;
  feed(bad);
  auto bad_ack = kRelayAck;
  bad_ack[7] ^= 1;
  feed(bad_ack);
  EXPECT_EQ(w.log.lines, (Lines{"F03 CRC error!!!", "F10 z czytnika ", "F10 CRC error!!!"}));
  EXPECT_EQ(r1().last_code, "");
  EXPECT_EQ(r1().armed, 0);
  EXPECT_EQ(r1().action, kActionRelay);
  EXPECT_EQ(w.st.rx_len, 0);
  w.log.all(false);
  feed(bad);
  EXPECT_EQ(w.log.lines.size(), 3u);
}

TEST_F(ReaderAnswer, AnAcknowledgementEndsOnlyTheCommandItAnswers) {
  w.st.reader_count = 1;
  const auto relay = hex("01 10 00 96 00 01 02 00 FE 3A E6");
  const auto poll = hex("01 03 00 0A 00 05 A5 CB");
  const auto tick = [this] {
    w.clock.mono += w.window.poll_ms;
    on_poll_tick(w.ctx);
  };
  // A buzzer goes out; a relay is queued before the buzzer's acknowledgement
  // comes: the acknowledgement leaves the relay, which goes out next turn.
  r1().action = kActionBuzzerN;
  tick();
  r1().action = kActionRelay;
  feed(kBuzzerAck);
  EXPECT_EQ(r1().action, kActionRelay);
  tick();
  EXPECT_EQ(w.serial.sent.back(), relay);
  // A late buzzer acknowledgement does not end the relay that went out since.
  feed(kBuzzerAck);
  EXPECT_EQ(r1().action, kActionRelay);
  w.log.log_clear();
  feed(kRelayAck);
  EXPECT_EQ(r1().action, kActionNone);
  EXPECT_EQ(w.log.lines, (Lines{"F10 z czytnika READER->PC:-01-10-00-96-00-01-E1-E5"}));
  EXPECT_TRUE(w.pc.conns[0].out.empty());  // nobody asked for it
  // A relay queued after that, not yet sent, outlives a repeated acknowledgement.
  r1().action = kActionRelay;
  feed(kRelayAck);
  EXPECT_EQ(r1().action, kActionRelay);
  tick();
  feed(kRelayAck);
  tick();
  EXPECT_EQ(w.serial.sent.back(), poll);
}

TEST_F(ReaderAnswer, OneAnswerOfEachKindPerChunk) {
  w.log.all(false);
  r1().action = r1().sent = kActionRelay;
  feed(cat({kShortRead, kRelayAck}));  // function 3 first: both taken
  EXPECT_EQ(w.st.rx_len, 0);
  EXPECT_EQ(r1().action, kActionNone);
  r1().action = r1().sent = kActionRelay;
  feed(cat({kRelayAck, kShortRead}));  // function 16 first: the read waits
  EXPECT_EQ(r1().action, kActionNone);
  EXPECT_EQ(w.st.rx_len, 7);
  feed(hex("00"));
  EXPECT_EQ(w.st.rx_len, 1);
  reset_rx(w.ctx);
  feed(cat({kShortRead, kShortRead}));  // a second read waits too
  EXPECT_EQ(w.st.rx_len, 7);
}

TEST_F(ReaderAnswer, CardRuleDecidesOnlyOnChangedCodesAtArmedReaders) {
  w.log.all(false);
  // No card is known, so every decision leaves the unknown-card buzzer command.
  auto decided = [this] {
    const bool d = r1().action == kActionBuzzerN;
    r1().action = kActionNone;
    return d;
  };
  feed(kCode010203);  // first code after start: reference only
  EXPECT_FALSE(decided());
  EXPECT_EQ(r1().last_code, "010203040506");
  EXPECT_EQ(r1().armed, 1);
  feed(kCode010203);
  EXPECT_FALSE(decided());
  feed(kCode0A1B2C);
  EXPECT_TRUE(decided());
  EXPECT_EQ(r1().last_code, "0A1B2C3D4E5F");

  r1().armed = 0;  // as a rebuild leaves it
  feed(kCode112233);
  EXPECT_FALSE(decided());
  EXPECT_EQ(r1().armed, 1);
  feed(kCode0A1B2CRef);  // bit 15: reference, also when armed
  EXPECT_FALSE(decided());
  feed(kCode0A1B2C);  // the same code with bit 15 clear is no card
  EXPECT_FALSE(decided());
  EXPECT_EQ(r1().last_code, "0A1B2C3D4E5F");
  // Zeros (the reader restarted) are no card either, but the card after them is.
  feed(kCodeZero);
  EXPECT_FALSE(decided());
  EXPECT_EQ(r1().last_code, "000000000000");
  feed(kCode0A1B2C);
  EXPECT_TRUE(decided());

  // Not examined while a command is pending, nor when the answer holds no code.
  r1().action = kActionRelay;
  feed(kCode010203);
  EXPECT_EQ(r1().action, kActionRelay);
  r1().action = kActionNone;
  feed(kShortRead);
  EXPECT_FALSE(decided());
  EXPECT_EQ(r1().last_code, "0A1B2C3D4E5F");
  // An address no configured reader has is nobody's, even where a left-over
  // entry beyond the reader count still carries it.
  w.st.readers[32].adr485 = 0x20;
  feed(hex("20 03 0A 00 00 00 00 01 02 03 04 05 0A E3 94"));
  EXPECT_EQ(w.st.readers[32].last_code, "");
  EXPECT_EQ(w.st.rx_len, 0);
}

}  // namespace
}  // namespace netbuf
