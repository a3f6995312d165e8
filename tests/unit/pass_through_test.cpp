#include "readerbus/pass_through.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hex_text.h"
#include "modbus/crc16.h"
#include "pclink/reader_answer_to_pc.h"
#include "readerbus/poll_cycle.h"
#include "readerbus/reader_answers.h"
#include "tests/unit/fakes.h"

namespace netbuf {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) {
  Bytes v;
  for (size_t i = 0; i + 1 < s.size(); i += 3) v.push_back(std::stoi(s.substr(i, 2), nullptr, 16));
  return v;
}
std::string H(const Bytes& b) {
  return hex_bytes(b, " ").substr(1);
}

class PassThrough : public ::testing::Test {
 protected:
  void SetUp() override {
    w.serial.opened = true;
    w.pc.conns.resize(1);
    w.st.reader_count = 3;
    for (int e = 1; e <= 3; ++e) w.st.readers[e].adr485 = e;
  }
  // The PC link leaves the read in pc_rx and passes the frame after the MBAP
  // header, the identifier's low byte and its way back to the PC.
  void request(const std::string& hex) {
    const Bytes b = B(hex);
    std::copy(b.begin(), b.end(), w.st.pc_rx.begin());
    w.st.pc_rx_len = static_cast<int>(b.size());
    pass_through(w.ctx, std::span(b).subspan(6), b[1], reader_answer_to_pc);
  }
  // What each of n ticks writes, "-" for nothing.
  std::vector<std::string> ticks(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
      const size_t before = w.serial.sent.size();
      on_poll_tick(w.ctx);
      out.push_back(w.serial.sent.size() == before ? "-" : H(w.serial.sent.back()));
    }
    return out;
  }
  void reader_says(const std::string& hex) {
    const Bytes b = B(hex);
    on_serial_receive(w.ctx, b);
  }
  const std::string& last_line() { return w.log.lines.back(); }
  testing::FakeWorld w;
};

using Lines = std::vector<std::string>;
const std::string P1 = "01 03 00 0A 00 05 A5 CB";
const std::string P3 = "03 03 00 0A 00 05 A4 29";  // CRC from pymodbus

TEST_F(PassThrough, ReadRoundTripsAndHoldsPollsOff) {
  request("01 07 00 00 00 06 02 03 00 00 00 02");
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  EXPECT_EQ(ticks(3), (Lines{P1, "02 03 00 00 00 02 C4 38", P3}));
  EXPECT_EQ(w.log.lines[1], "PC->BUF->READER.02.03.00.00.00.02.C4.38");
  EXPECT_EQ(ticks(2), (Lines{P1, "-"}));  // still waiting: nothing on the line
  EXPECT_EQ(last_line(), "PC->BUF->READER");

  reader_says("02 03 04 00 01 00 02 19 32");  // CRC from pymodbus
  EXPECT_EQ(H(w.pc.conns[0].out), "00 07 00 00 00 07 02 03 04 00 01 00 02");
  EXPECT_EQ(last_line(), "BUF->PC:03:13-> 00 07 00 00 00 07 02 03 04 00 01 00 02");
  const Tczytnik& r = w.st.readers[2];
  EXPECT_EQ(r.action, kActionNone);
  EXPECT_EQ(r.pc_wait, 0);
  // Answered, but the PC keeps the reader for the hold-off.
  EXPECT_EQ(r.hold_off, 3);
  EXPECT_EQ(ticks(3), (Lines{P3, P1, "-"}));
}

TEST_F(PassThrough, WriteRoundTripsAsTwelveByteAnswer) {
  request("00 09 00 00 00 09 03 10 00 05 00 01 02 12 34");
  EXPECT_EQ(ticks(3).back(), "03 10 00 05 00 01 02 12 34 B2 12");  // CRC from pymodbus
  reader_says("03 10 00 05 00 01 10 2A");
  EXPECT_EQ(H(w.pc.conns[0].out), "00 09 00 00 00 06 03 10 00 05 00 01");
  const auto n = w.log.lines.size();
  EXPECT_EQ(w.log.lines[n - 2], "F10 z czytnika READER->PC:-03-10-00-05-00-01-10-2A");
  EXPECT_EQ(w.log.lines[n - 1], "BUF->PC:10:12-> 00 09 00 00 00 06 03 10 00 05 00 01");
  EXPECT_EQ(w.st.readers[3].action, kActionNone);
}

TEST_F(PassThrough, SecondRequestReplacesTheFirst) {
  request("00 07 00 00 00 06 02 03 00 00 00 02");
  request("01 08 00 00 00 06 02 03 00 10 00 01");
  EXPECT_EQ(ticks(2), (Lines{P1, "02 03 00 10 00 01 85 FC"}));  // CRC from pymodbus
  reader_says("02 03 02 00 01 3D 84");
  EXPECT_EQ(H(w.pc.conns[0].out), "00 08 00 00 00 05 02 03 02 00 01");
}

TEST_F(PassThrough, AnswerToTheFrameBeforeIsNotThePcs) {
  EXPECT_EQ(ticks(2), (Lines{P1, "02 03 00 0A 00 05 A5 F8"}));  // reader 2's poll is out
  request("00 07 00 00 00 06 02 03 00 00 00 02");
  reader_says("02 03 0A 00 00 00 00 00 00 00 00 00 00 21 75");  // CRC from pymodbus
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  EXPECT_EQ(w.st.readers[2].action, kActionForward);
  EXPECT_EQ(ticks(3), (Lines{P3, P1, "02 03 00 00 00 02 C4 38"}));
  reader_says("02 03 04 00 01 00 02 19 32");
  EXPECT_EQ(H(w.pc.conns[0].out), "00 07 00 00 00 07 02 03 04 00 01 00 02");
}

TEST_F(PassThrough, RejectsRequestsThatDoNotFit) {
  Tczytnik& r = w.st.readers[3];
  r.tx_frame.fill(0xEE);
  r.pc_tid = 0x55;
  std::string data24;
  for (int i = 0; i < 24; ++i) data24 += " " + hex2(i);
  const std::string write_head = "00 01 00 00 00 20 03 10 00 00 00 0C ";
  const char* rejected[] = {
      "00 01 00 00 00 06 03 03 00 00 00",                 // read cut short
      "00 01 00 00 00 06 03",                             // no function code
      "00 01 00 00 00 09 03 10 00 05 00 02 04 12 34 56",  // data cut short
  };
  for (const char* q : rejected) request(q);
  request(write_head + "19" + data24 + " 18");  // 25 data bytes: more than the frame holds
  EXPECT_EQ(r.action, kActionNone);
  EXPECT_EQ(r.pc_wait, 0);
  EXPECT_EQ(r.hold_off, 0);
  EXPECT_EQ(r.pc_tid, 0x55);
  EXPECT_EQ(r.tx_len, 0);
  for (uint8_t b : r.tx_frame) ASSERT_EQ(b, 0xEE);

  request(write_head + "18" + data24);  // 24 fit
  EXPECT_EQ(r.tx_len, 33);
  // Another function (4; 6 from mbpoll) or a unit no configured reader has
  // holds nobody: reader 1 goes on being polled.
  request("00 02 00 00 00 06 01 04 00 00 00 01");
  request("00 03 00 00 00 06 01 06 00 00 00 01");
  w.st.readers[4].adr485 = 9;  // a left-over beyond the reader count
  request("00 04 00 00 00 06 09 03 00 00 00 01");
  EXPECT_EQ(w.st.readers[1].action, kActionNone);
  EXPECT_EQ(w.st.readers[1].hold_off, 0);
  EXPECT_EQ(w.st.readers[4].action, kActionNone);
  EXPECT_EQ(ticks(3), (Lines{P1, "02 03 00 0A 00 05 A5 F8",
                             "03 10 00 00 00 0C 18" + data24 + " 88 86"}));  // CRC from pymodbus
}

// One reader, a door command and a PC frame: the door command goes out, and
// the PC never gets another command's acknowledgement as its answer.
TEST_F(PassThrough, DoorCommandsAndPcFramesShareAReader) {
  const std::string relay2 = "02 10 00 96 00 01 02 00 FE 2E 16";  // CRC from pymodbus
  const std::string ack2 = "02 10 00 96 00 01 E1 D6";             // CRC from pymodbus
  const std::string pc_read = "00 07 00 00 00 06 02 03 00 00 00 02";
  Tczytnik& r = w.st.readers[2];

  // A relay waits: the PC's frame is not taken, the relay goes out.
  command_reader(r, kActionRelay);
  request(pc_read);
  EXPECT_EQ(r.pc_wait, 0);
  EXPECT_EQ(ticks(2), (Lines{P1, relay2}));
  // A buzzer for a later card does not replace the unacknowledged relay.
  command_reader(r, kActionBuzzerN);
  EXPECT_EQ(r.action, kActionRelay);
  reader_says(ack2);
  EXPECT_EQ(r.action, kActionNone);
  EXPECT_TRUE(w.pc.conns[0].out.empty());

  // A PC frame waits at the reader and a card opens the door there: the
  // relay goes out instead, its acknowledgement is not sent to the PC, and
  // the reader is polled again.
  ticks(2);  // reader 2's poll clears what went out before
  request(pc_read);
  EXPECT_EQ(r.action, kActionForward);
  command_reader(r, kActionRelay);
  EXPECT_EQ(ticks(3), (Lines{relay2, P3, P1}));
  reader_says(ack2);
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  EXPECT_EQ(r.pc_wait, 0);
  EXPECT_EQ(ticks(3), (Lines{"02 03 00 0A 00 05 A5 F8", P3, P1}));

  // An acknowledged buzzer leaves nothing owed: the PC's frame right behind
  // the acknowledgement is taken, with no poll of the reader between.
  command_reader(r, kActionBuzzerN);
  EXPECT_EQ(ticks(1), (Lines{"02 10 00 97 00 01 02 00 00 AE 47"}));  // CRC from pymodbus
  request(pc_read);
  EXPECT_EQ(r.pc_wait, 0);                 // the acknowledgement is still due
  reader_says("02 10 00 97 00 01 B0 16");  // CRC from pymodbus
  request(pc_read);
  EXPECT_EQ(r.action, kActionForward);
  EXPECT_EQ(ticks(3), (Lines{P3, P1, "02 03 00 00 00 02 C4 38"}));
}

// The line is half-duplex: while the long answer to a read the PC passed
// through is due (8 + 255 characters of 11 bits at 19200 baud, 151 ms, and
// 5 ms for the reader to turn), no other frame goes out. The whole answer
// ends the wait early; an answer still coming in makes it last.
TEST_F(PassThrough, NothingGoesOutWhileALongAnswerIsDue) {
  const std::string fwd = "02 03 00 00 00 7D 85 D8";  // CRC from pymodbus
  Bytes answer = B("02 03 FA");
  for (int i = 0; i < 250; ++i) answer.push_back(static_cast<uint8_t>(i));
  answer.resize(255);
  put_crc(answer);
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, std::size_t>> pieces;  // at ms, answer bytes by then
    Lines ticks;                                          // at 30, 60, ... 300 ms
  };
  const Case cases[] = {
      {"silent reader", {}, {P1, fwd, "-", "-", "-", "-", "-", P3, P1, "-"}},
      {"answered at 130 ms",
       {{100, 200}, {130, 255}},
       {P1, fwd, "-", "-", P3, P1, "-", P3, P1, "-"}},
      {"answer starting late",
       {{200, 100}, {280, 255}},
       {P1, fwd, "-", "-", "-", "-", "-", "-", "-", P3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeWorld v;
    v.serial.opened = true;
    v.pc.conns.resize(1);
    v.window.poll_ms = 30;
    v.st.reader_count = 3;
    for (int e = 1; e <= 3; ++e) v.st.readers[e].adr485 = e;
    const Bytes req = B("00 07 00 00 00 06 02 03 00 00 00 7D");
    std::copy(req.begin(), req.end(), v.st.pc_rx.begin());
    pass_through(v.ctx, std::span(req).subspan(6), req[1], reader_answer_to_pc);
    Lines out;
    std::size_t given = 0;
    auto piece = c.pieces.begin();
    for (int64_t t = 30; t <= 300; t += 30) {
      for (; piece != c.pieces.end() && piece->first <= t; ++piece) {
        v.clock.mono = piece->first;
        on_serial_receive(v.ctx, std::span(answer).subspan(given, piece->second - given));
        given = piece->second;
      }
      v.clock.mono = t;
      const size_t before = v.serial.sent.size();
      on_poll_tick(v.ctx);
      out.push_back(v.serial.sent.size() == before ? "-" : H(v.serial.sent.back()));
    }
    EXPECT_EQ(out, c.ticks);
    EXPECT_EQ(v.pc.conns[0].out.size(), given == 255 ? 259u : 0u);
  }
}

// A reader that refuses the PC's frame has answered it: the exception goes to
// the PC under the request's identifier (low byte), as a good answer would,
// and the reader is the PC's no longer. Where no such frame waits, or the
// bytes fail their CRC, they stay noise.
TEST_F(PassThrough, ExceptionAnswersReachThePc) {
  const std::string read2 = "01 07 00 00 00 06 02 03 00 00 00 02";
  struct Case {
    const char* name;
    std::string request;
    std::string reader;
    std::string pc;  // empty: nothing
  };
  const Case cases[] = {
      // Exception CRCs from pymodbus.
      {"read refused", read2, "02 83 02 30 F1", "00 07 00 00 00 03 02 83 02"},
      {"write refused", "00 09 00 00 00 09 02 10 00 05 00 01 02 12 34", "02 90 04 BD C3",
       "00 09 00 00 00 03 02 90 04"},
      {"another function's exception", read2, "02 90 04 BD C3", ""},
      {"broken CRC", read2, "02 83 02 30 F0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeWorld v;
    v.serial.opened = true;
    v.pc.conns.resize(1);
    v.st.reader_count = 2;
    for (int e = 1; e <= 2; ++e) v.st.readers[e].adr485 = e;
    const Bytes req = B(c.request);
    pass_through(v.ctx, std::span(req).subspan(6), req[1], reader_answer_to_pc);
    on_poll_tick(v.ctx);
    on_poll_tick(v.ctx);  // the PC's frame is out
    on_serial_receive(v.ctx, B(c.reader));
    const Tczytnik& r = v.st.readers[2];
    EXPECT_EQ(v.pc.conns[0].out, B(c.pc));
    EXPECT_EQ(r.action, c.pc.empty() ? kActionForward : kActionNone);
    EXPECT_EQ(r.pc_wait, c.pc.empty() ? 0xFF : 0);
  }
}

// Counts every send, also those to connections the fake does not hold.
struct CountingEndpoint : testing::FakeEndpoint {
  int sends = 0;
  bool send(int i, std::span<const uint8_t> bytes) override {
    ++sends;
    return FakeEndpoint::send(i, bytes);
  }
};

TEST_F(PassThrough, AnswerForDepartedPcIsDropped) {
  CountingEndpoint gone;
  Context ctx{w.st,    w.log,    w.window, w.window,  w.window, w.op,
              w.clock, w.serial, gone,     w.service, w.db,     w.storage};
  request("00 07 00 00 00 06 02 03 00 00 00 02");
  ticks(2);
  const Bytes answer = B("02 03 04 00 01 00 02 19 32");
  on_serial_receive(ctx, answer);
  EXPECT_EQ(gone.sends, 0);
  EXPECT_NE(last_line().rfind("BUF->PC", 0), 0u);
  EXPECT_EQ(w.st.readers[2].pc_wait, 0);
  EXPECT_EQ(w.st.readers[2].action, kActionNone);
}

}  // namespace
}  // namespace netbuf
