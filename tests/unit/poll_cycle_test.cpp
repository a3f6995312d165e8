#include "readerbus/poll_cycle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readerbus/line_turn.h"
#include "tests/unit/fakes.h"
#include "tests/unit/line_ticks.h"

namespace netbuf {
namespace {

using Lines = std::vector<std::string>;

class PollCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    w.serial.opened = true;
    w.window.poll_on = true;
  }
  void readers(std::vector<int> addresses) {
    w.st.reader_count = static_cast<int>(addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i) w.st.readers[i + 1].adr485 = addresses[i];
  }
  // Frames written by n ticks, one string per write, "-" for a tick without one.
  std::vector<std::string> ticks(int n) { return testing::poll_ticks(w, n); }
  testing::FakeWorld w;
};

const std::string P1 = "01 03 00 0A 00 05 A5 CB";
// Polls of readers 2 and 3; CRCs from pymodbus.
const std::string P2 = "02 03 00 0A 00 05 A5 F8";
const std::string P3 = "03 03 00 0A 00 05 A4 29";
const std::string R1 = "01 10 00 96 00 01 02 00 FE 3A E6";

TEST_F(PollCycle, ServesReadersInTurn) {
  readers({1, 2, 3});
  EXPECT_EQ(ticks(4), (Lines{P1, P2, P3, P1}));
  EXPECT_EQ(w.log.lines, (Lines{"BUF->READER:0103000A0005A5CB", "BUF->READER:0203000A0005A5F8",
                                "BUF->READER:0303000A0005A429", "BUF->READER:0103000A0005A5CB"}));
  // A rebuild that shrinks the list below the last served entry starts again at 1.
  w.st.poll_index = 3;
  w.st.reader_count = 2;
  w.log.log_clear();
  w.log.all(false);
  EXPECT_EQ(ticks(2), (Lines{P1, P2}));
  EXPECT_TRUE(w.log.lines.empty());
}

TEST_F(PollCycle, NoReadersOnlyTrimsTheLog) {
  w.log.lines.assign(201, "x");
  EXPECT_EQ(ticks(2), (Lines{"-", "-"}));
  EXPECT_TRUE(w.log.lines.empty());
  w.log.lines.assign(200, "x");
  ticks(1);
  EXPECT_EQ(w.log.lines.size(), 200u);
}

TEST_F(PollCycle, HoldOffSuspendsPollsButNotCommands) {
  readers({1, 2, 3});
  w.st.readers[2].hold_off = 2;
  w.st.readers[1].hold_off = 1;
  w.st.readers[1].action = kActionRelay;
  // The relay goes again at every turn until the reader acknowledges.
  EXPECT_EQ(ticks(6), (Lines{R1, "-", P3, R1, "-", P3}));
  EXPECT_EQ(w.log.lines[0], "Wyzwolenie przekażnika w czytnkiu o adresie:1");
  EXPECT_EQ(w.st.readers[1].action, kActionRelay);
}

TEST_F(PollCycle, BuzzerTakesThePatternAtSendTimeThenPollsResume) {
  readers({1});
  w.st.readers[1].action = kActionBuzzerN;
  w.st.n_card = 0x0102;  // changed after the command was placed
  w.st.s_card = 0;
  EXPECT_EQ(ticks(2), (Lines{"01 10 00 97 00 01 02 02 01 7A 17", P1}));
  w.st.readers[1].action = kActionBuzzerS;
  w.log.on[static_cast<int>(LogCategory::Events)] = false;
  EXPECT_EQ(ticks(2), (Lines{"01 10 00 97 00 01 02 00 00 BA B7", P1}));
  EXPECT_EQ(w.log.lines, (Lines{"Buzzer w czytnkiu o adresie:1", "BUF->READER:0103000A0005A5CB",
                                "BUF->READER:0103000A0005A5CB"}));
}

TEST_F(PollCycle, AddressAbove255UsesItsLowByteAndLogsInFull) {
  readers({300});
  w.st.s_card = 0x3412;
  // CRCs from pymodbus.
  EXPECT_EQ(ticks(1), (Lines{"2C 03 00 0A 00 05 A3 B6"}));
  w.st.readers[1].action = kActionRelay;
  EXPECT_EQ(ticks(1), (Lines{"2C 10 00 96 00 01 02 00 FE FB B7"}));
  w.st.readers[1].action = kActionBuzzerS;
  EXPECT_EQ(ticks(1), (Lines{"2C 10 00 97 00 01 02 12 34 76 91"}));
  EXPECT_EQ(w.log.lines, (Lines{"BUF->READER:2C03000A0005A3B6",
                                "Wyzwolenie przekażnika w czytnkiu o adresie:300",
                                "Buzzer w czytnkiu o adresie:300"}));
}

// Commands go at the line's next free moment, ahead of the round robin; a
// turn owed waits behind one command at most, so a stream of commands leaves
// every other frame to the polls.
TEST_F(PollCycle, CommandsGoAheadButPollsKeepTheirShare) {
  readers({1, 2, 3});
  const std::string B3 = "03 10 00 97 00 01 02 00 00 A3 D7";  // CRC from the harness in Python
  w.st.n_card = 0;
  std::vector<std::string> line;
  for (int i = 0; i < 6; ++i) {
    command_reader(w.st.readers[3], kActionBuzzerN);  // a card at reader 3, again and again
    const std::string t = ticks(1)[0];
    line.push_back(t);
    // The host's wake-up when the line is free again: the silent reader's
    // time-out has run out.
    w.clock.mono = std::max(w.clock.mono, line_wake_ms(w.ctx));
    const size_t before = w.serial.sent.size();
    on_line_moment(w.ctx);
    line.push_back(testing::written_since(w, before));
  }
  EXPECT_EQ(line, (Lines{B3, P1, B3, P2, B3, P3, B3, P1, B3, P2, B3, P3}));
}

}  // namespace
}  // namespace netbuf
