#include "readerbus/pass_through.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hex_text.h"
#include "modbus/crc16.h"
#include "pclink/reader_answer_to_pc.h"
#include "readerbus/line_turn.h"
#include "readerbus/poll_cycle.h"
#include "readerbus/reader_answers.h"
#include "tests/unit/byte_vectors.h"
#include "tests/unit/fakes.h"
#include "tests/unit/line_ticks.h"

namespace netbuf {
namespace {

using testing::Bytes;
using testing::hex;
using testing::wire_text;

class PassThrough : public ::testing::Test {
 protected:
  void SetUp() override {
    w.serial.opened = true;
    w.window.poll_on = true;
    w.pc.conns.resize(1);
    w.st.reader_count = 3;
    for (int e = 1; e <= 3; ++e) w.st.readers[e].adr485 = e;
  }
  // The PC link leaves the read in pc_request and passes the frame after the MBAP
  // header, the identifier's low byte and its way back to the PC.
  void request(const std::string& frame) {
    const Bytes b = hex(frame);
    std::copy(b.begin(), b.end(), w.st.pc_request.rx.begin());
    w.st.pc_request.rx_len = static_cast<int>(b.size());
    pass_through(w.ctx, std::span(b).subspan(6), b[1], reader_answer_to_pc);
  }
  // What each of n ticks writes, "-" for nothing.
  std::vector<std::string> ticks(int n) { return testing::poll_ticks(w, n); }
  // The host's wake-up: the clock goes to the line's next moment and the
  // frame sent there, "-" for none.
  std::string moment() {
    const int64_t at = line_wake_ms(w.ctx);
    if (at < 0) return "-";
    w.clock.mono = std::max(w.clock.mono, at);
    const size_t before = w.serial.sent.size();
    on_line_moment(w.ctx);
    return testing::written_since(w, before);
  }
  void reader_says(const std::string& frame) {
    const Bytes b = hex(frame);
    on_serial_receive(w.ctx, b);
  }
  const std::string& last_line() { return w.log.lines.back(); }
  testing::FakeWorld w;
};

using Lines = std::vector<std::string>;
const std::string P1 = "01 03 00 0A 00 05 A5 CB";
const std::string P3 = "03 03 00 0A 00 05 A4 29";  // CRC from pymodbus

// The PC's frame goes ahead of the round robin; the owed turn follows it.
TEST_F(PassThrough, ReadRoundTripsAndHoldsPollsOff) {
  request("01 07 00 00 00 06 02 03 00 00 00 02");
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  EXPECT_EQ(ticks(1), (Lines{"02 03 00 00 00 02 C4 38"}));
  EXPECT_EQ(w.log.lines[0], "PC->BUF->READER.02.03.00.00.00.02.C4.38");
  reader_says("02 03 04 00 01 00 02 19 32");  // CRC from pymodbus
  EXPECT_EQ(wire_text(w.pc.conns[0].out), "00 07 00 00 00 07 02 03 04 00 01 00 02");
  EXPECT_EQ(last_line(), "BUF->PC:03:13-> 00 07 00 00 00 07 02 03 04 00 01 00 02");
  const ReaderEntry& r = w.st.readers[2];
  EXPECT_EQ(r.action, kActionNone);
  EXPECT_EQ(r.pc_wait, 0);
  // Answered, but the PC keeps the reader for the hold-off.
  EXPECT_EQ(r.hold_off, 3);
  EXPECT_EQ(ticks(4), (Lines{P1, "-", P3, P1}));
}

TEST_F(PassThrough, WriteRoundTripsAsTwelveByteAnswer) {
  request("00 09 00 00 00 09 03 10 00 05 00 01 02 12 34");
  EXPECT_EQ(ticks(1), (Lines{"03 10 00 05 00 01 02 12 34 B2 12"}));  // CRC from pymodbus
  reader_says("03 10 00 05 00 01 10 2A");
  EXPECT_EQ(wire_text(w.pc.conns[0].out), "00 09 00 00 00 06 03 10 00 05 00 01");
  const auto n = w.log.lines.size();
  EXPECT_EQ(w.log.lines[n - 2], "F10 z czytnika READER->PC:-03-10-00-05-00-01-10-2A");
  EXPECT_EQ(w.log.lines[n - 1], "BUF->PC:10:12-> 00 09 00 00 00 06 03 10 00 05 00 01");
  EXPECT_EQ(w.st.readers[3].action, kActionNone);
}

// Requests queue in the order they came and are answered in that order: a
// reader's answer, 0x0B for a reader that lets its time-out run out, 0x0A
// for an address no reader slot has, once the frames ahead are answered.
TEST_F(PassThrough, QueuedRequestsAreAnsweredInTurnAsAGatewayDoes) {
  request("00 07 00 00 00 06 02 03 00 00 00 02");
  request("01 08 00 00 00 06 02 03 00 10 00 01");
  request("00 09 00 00 00 06 09 03 00 00 00 01");  // no reader has address 9
  request("00 0A 00 00 00 06 01 03 00 00 00 01");
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  EXPECT_EQ(moment(), "02 03 00 00 00 02 C4 38");
  // A late answer to an earlier poll does not fit the PC's read: not the PC's.
  reader_says("02 03 0A 00 00 00 00 00 00 00 00 00 00 21 75");  // CRC from pymodbus
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  reader_says("02 03 04 00 01 00 02 19 32");
  EXPECT_EQ(moment(), "02 03 00 10 00 01 85 FC");  // CRC from pymodbus
  reader_says("02 03 02 00 01 3D 84");
  EXPECT_EQ(moment(), "01 03 00 00 00 01 84 0A");  // CRC from pymodbus
  // Reader 1 stays silent: its time-out runs out and the line is free.
  EXPECT_EQ(moment(), "-");
  EXPECT_EQ(wire_text(w.pc.conns[0].out),
            "00 07 00 00 00 07 02 03 04 00 01 00 02 "
            "00 08 00 00 00 05 02 03 02 00 01 "
            "00 09 00 00 00 03 09 83 0A "
            "00 0A 00 00 00 03 01 83 0B");
  EXPECT_EQ(w.st.readers[1].pc_wait, 0);
  EXPECT_EQ(w.st.readers[1].action, kActionNone);
  // With nothing ahead, an address nobody has is answered at once.
  w.pc.conns[0].out.clear();
  request("00 0B 00 00 00 06 09 10 00 00 00 01 02 00 00");
  EXPECT_EQ(wire_text(w.pc.conns[0].out), "00 0B 00 00 00 03 09 90 0A");
  // Bounded: one more than a reader may have waiting is dropped.
  for (int i = 0; i <= kPassPerReader; ++i) request("00 0C 00 00 00 06 02 03 00 00 00 01");
  EXPECT_EQ(w.st.pc_request.passes.size, kPassPerReader);
}

TEST_F(PassThrough, RejectsRequestsThatDoNotFit) {
  std::string data24;
  for (int i = 0; i < 24; ++i) data24 += " " + hex2(i);
  const std::string write_head = "00 01 00 00 00 20 03 10 00 00 00 0C ";
  const char* rejected[] = {
      "00 01 00 00 00 06 03 03 00 00 00",                 // read cut short
      "00 01 00 00 00 06 03",                             // no function code
      "00 01 00 00 00 09 03 10 00 05 00 02 04 12 34 56",  // data cut short
      "00 02 00 00 00 06 01 04 00 00 00 01",              // function 4
      "00 03 00 00 00 06 01 06 00 00 00 01",              // function 6, from mbpoll
  };
  for (const char* q : rejected) request(q);
  request(write_head + "19" + data24 + " 18");  // 25 data bytes: more than the frame holds
  EXPECT_EQ(w.st.pc_request.passes.size, 0);
  for (int e = 1; e <= 3; ++e) EXPECT_EQ(w.st.readers[e].hold_off, 0);

  request(write_head + "18" + data24);  // 24 fit
  w.st.readers[4].adr485 = 9;           // a left-over beyond the reader count
  request("00 04 00 00 00 06 09 03 00 00 00 01");
  EXPECT_EQ(ticks(2),
            (Lines{"03 10 00 00 00 0C 18" + data24 + " 88 86", P1}));  // CRC from pymodbus
  EXPECT_EQ(wire_text(w.pc.conns[0].out), "00 01 00 00 00 03 03 90 0B 00 04 00 00 00 03 09 83 0A");
}

// A door command goes ahead of the PC's frames; the PC's frame already on
// the line keeps its answer, and the door's command follows it. The PC never
// gets another command's acknowledgement as its answer.
TEST_F(PassThrough, DoorCommandsAndPcFramesShareAReader) {
  const std::string relay2 = "02 10 00 96 00 01 02 00 FE 2E 16";  // CRC from pymodbus
  const std::string ack2 = "02 10 00 96 00 01 E1 D6";             // CRC from pymodbus
  const std::string fwd2 = "02 03 00 00 00 02 C4 38";
  const std::string pc_read = "00 07 00 00 00 06 02 03 00 00 00 02";
  const std::string pc_answer = "00 07 00 00 00 07 02 03 04 00 01 00 02";
  ReaderEntry& r = w.st.readers[2];

  command_reader(r, kActionRelay);
  request(pc_read);
  EXPECT_EQ(moment(), relay2);
  // A buzzer for a later card does not replace the unacknowledged relay.
  command_reader(r, kActionBuzzerN);
  EXPECT_EQ(r.action, kActionRelay);
  reader_says(ack2);
  EXPECT_EQ(r.action, kActionNone);
  EXPECT_TRUE(w.pc.conns[0].out.empty());
  EXPECT_EQ(moment(), fwd2);

  // A card opens the door while the PC's frame is on the line.
  command_reader(r, kActionRelay);
  on_line_moment(w.ctx);
  EXPECT_EQ(wire_text(w.serial.sent.back()), fwd2);
  reader_says("02 03 04 00 01 00 02 19 32");
  EXPECT_EQ(wire_text(w.pc.conns[0].out), pc_answer);
  EXPECT_EQ(moment(), relay2);
  reader_says(ack2);
  EXPECT_EQ(r.action, kActionNone);
  EXPECT_EQ(wire_text(w.pc.conns[0].out), pc_answer);
}

// The line is half-duplex: after the PC's long read (8 + 255 characters of 11
// bits at 19200 baud) the next frame, a relay for reader 1, waits for the
// whole answer and 3 ms of silence, or for the time-out (50 ms after the
// request) when no answer begins, or at most for the answer's length after
// the time-out when bytes keep coming.
TEST_F(PassThrough, TheLineWaitsForTheAnswerItAskedFor) {
  const std::string relay1 = "01 10 00 96 00 01 02 00 FE 3A E6";
  Bytes answer = hex("02 03 FA");
  for (int i = 0; i < 250; ++i) answer.push_back(static_cast<uint8_t>(i));
  answer.resize(255);
  put_crc(answer);
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, std::size_t>> pieces;  // at ms, answer bytes by then
    bool babble;                                          // noise every 10 ms instead
    int64_t relay_at;
    std::size_t pc_bytes;
  };
  const Case cases[] = {
      {"silent reader", {}, false, 55, 9},
      {"answer begun at 20 ms", {{20, 1}, {100, 140}, {166, 255}}, false, 169, 259},
      {"answer starting 35 ms late", {{40, 1}, {100, 106}, {186, 255}}, false, 189, 259},
      {"babbling line", {}, true, 207, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeWorld v;
    v.serial.opened = true;
    v.window.poll_on = true;
    v.pc.conns.resize(1);
    v.st.reader_count = 3;
    for (int e = 1; e <= 3; ++e) v.st.readers[e].adr485 = e;
    const Bytes req = hex("00 07 00 00 00 06 02 03 00 00 00 7D");
    pass_through(v.ctx, std::span(req).subspan(6), req[1], reader_answer_to_pc);
    on_line_moment(v.ctx);  // the read goes out at 0
    command_reader(v.st.readers[1], kActionRelay);
    std::size_t given = 0;
    auto piece = c.pieces.begin();
    const Bytes noise = hex("00 55");
    int64_t next_noise = 10;
    while (v.serial.sent.size() == 1 && v.clock.mono < 1000) {
      const int64_t wake = line_wake_ms(v.ctx);
      const int64_t at_piece = piece != c.pieces.end() ? piece->first : 1000;
      const int64_t at_noise = c.babble ? next_noise : 1000;
      v.clock.mono = std::min({wake, at_piece, at_noise});
      if (v.clock.mono == at_piece) {
        on_serial_receive(v.ctx, std::span(answer).subspan(given, piece->second - given));
        given = piece++->second;
      } else if (v.clock.mono == at_noise) {
        on_serial_receive(v.ctx, noise);
        next_noise += 10;
      } else {
        on_line_moment(v.ctx);
      }
    }
    EXPECT_EQ(v.clock.mono, c.relay_at);
    EXPECT_EQ(wire_text(v.serial.sent.back()), relay1);
    EXPECT_EQ(v.pc.conns[0].out.size(), c.pc_bytes);
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
    const Bytes req = hex(c.request);
    pass_through(v.ctx, std::span(req).subspan(6), req[1], reader_answer_to_pc);
    on_poll_tick(v.ctx);
    on_poll_tick(v.ctx);  // the PC's frame is out
    on_serial_receive(v.ctx, hex(c.reader));
    const ReaderEntry& r = v.st.readers[2];
    EXPECT_EQ(v.pc.conns[0].out, hex(c.pc));
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
  const Bytes answer = hex("02 03 04 00 01 00 02 19 32");
  on_serial_receive(ctx, answer);
  EXPECT_EQ(gone.sends, 0);
  EXPECT_NE(last_line().rfind("BUF->PC", 0), 0u);
  EXPECT_EQ(w.st.readers[2].pc_wait, 0);
  EXPECT_EQ(w.st.readers[2].action, kActionNone);
}

}  // namespace
}  // namespace netbuf
