#include "service/remote_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "readerbus/poll_cycle.h"
#include "service/command_stream.h"
#include "tests/unit/fakes.h"

namespace netbuf {
namespace {

using Lines = std::vector<std::string>;
constexpr int kTcp = static_cast<int>(LogCategory::Tcp);
constexpr int kEvents = static_cast<int>(LogCategory::Events);

// n service connections and one reader at address 5 in entry 1.
struct World : testing::FakeWorld {
  explicit World(int n = 1) {
    service.conns.resize(n);
    st.readers[1].adr485 = 5;
    st.reader_count = 1;
  }
  void feed(int i, std::string_view s) { service.feed(i, {s.begin(), s.end()}); }
  std::string sent(int i) const {
    return {service.conns[i].out.begin(), service.conns[i].out.end()};
  }
  int waiting(int i) { return service.bytes_waiting(i); }
  void only(int category) {
    log.all(false);
    log.on[category] = true;
  }
  // Entry numbers whose action is a relay opening.
  std::vector<int> relays() const {
    std::vector<int> r;
    for (int e = 1; e <= kReaderCount; ++e)
      if (st.readers[e].action == kActionRelay) r.push_back(e);
    return r;
  }
  void ticks(int n) {
    for (int k = 0; k < n; ++k) {
      service_supervision_tick(ctx);
      service.reap();
    }
  }
};

TEST(RemoteControl, QueuesRelayLogsAndAnswersOk) {
  World w;
  w.st.readers[1].action = kActionForward;  // a pending command is replaced
  w.feed(0, "#Jan,x,1,2,4$");
  on_service_read(w.ctx);
  EXPECT_EQ(w.relays(), std::vector<int>{1});
  EXPECT_EQ(w.log.lines, (Lines{"Przekaznik otwarty zdalnie przez:Jan, w czytniku o adresie:5",
                                "Remote control->:Jan, x typ: 1 rozkaz:2 adres:5"}));
  EXPECT_EQ(w.sent(0), "OK");
  EXPECT_EQ(w.service.conns[0].state.idle_ticks, 100);
}

TEST(RemoteControl, FieldsAndAddresses) {
  // typ and rozkaz are only logged; an address no configured reader has is
  // answered but fires nothing (entry 0).
  struct Case {
    const char* cmd;
    int entry;
    const char* line;
  };
  const Case cases[] = {
      {"#a,b,0,0,4$", 1, "Remote control->:a, b typ: 0 rozkaz:0 adres:5"},
      {"#a,b,99,-1,4$", 1, "Remote control->:a, b typ: 99 rozkaz:-1 adres:5"},
      {"#a,b,-0,007,4$", 1, "Remote control->:a, b typ: 0 rozkaz:7 adres:5"},
      {"#a,b,-2147483648,1,3$", 0, "Remote control->:a, b typ: -2147483648 rozkaz:1 adres:4"},
      {"#a,b,1,2,-3$", 0, "Remote control->:a, b typ: 1 rozkaz:2 adres:-2"},
      // The largest field value must not wrap when one is added.
      {"#a,b,1,2,2147483647$", 0, "Remote control->:a, b typ: 1 rozkaz:2 adres:2147483648"},
      // Any lead byte; the sender keeps its comma; the text may be empty.
      {"Xab,,7,-8,4$", 1, "Remote control->:ab,  typ: 7 rozkaz:-8 adres:5"},
      {",t,1,2,4$", 1, "Remote control->: t typ: 1 rozkaz:2 adres:5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmd);
    World w;
    w.only(kTcp);
    w.feed(0, c.cmd);
    on_service_read(w.ctx);
    EXPECT_EQ(w.relays(), c.entry ? std::vector<int>{c.entry} : std::vector<int>{});
    EXPECT_EQ(w.log.lines, Lines{c.line});
    EXPECT_EQ(w.sent(0), "OK");
  }
}

TEST(RemoteControl, MalformedCommandIsReportedAndLeavesNoTrace) {
  struct Case {
    const char* cmd;
    const char* error;
  };
  const Case cases[] = {
      {"#a,b,x,2,3$", "'x' is not a valid integer value"},
      {"#a,b,1,,3$", "'' is not a valid integer value"},
      {"#a,b,1,2,$", "'' is not a valid integer value"},
      {"#a b 1 2 3$", "'' is not a valid integer value"},  // no separators at all
      {"#a,b,1,2 3$", "'' is not a valid integer value"},  // one comma short
      {"#a,b,+1,2,3$", "'+1' is not a valid integer value"},
      {"#a,b,1,2, 3$", "' 3' is not a valid integer value"},
      {"#a,b,1,-,3$", "'-' is not a valid integer value"},
      {"#a,b,1,2,2147483648$", "'2147483648' is not a valid integer value"},
      {"#a,b,-2147483649,2,3$", "'-2147483649' is not a valid integer value"},
      {"#a,b,1,99999999999999999999,3$", "'99999999999999999999' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmd);
    World w;
    w.feed(0, c.cmd);
    on_service_read(w.ctx);
    EXPECT_EQ(w.op.errors, Lines{c.error});
    EXPECT_TRUE(w.relays().empty());
    EXPECT_TRUE(w.log.lines.empty());
    EXPECT_EQ(w.sent(0), "");
    EXPECT_EQ(w.service.conns[0].state.idle_ticks, 0);  // no activity either
  }
}

TEST(RemoteControl, ServesEveryConnectionInPositionOrderEveryCommand) {
  World w(3);
  w.st.readers[2].adr485 = 8;
  w.st.reader_count = 2;
  w.only(kEvents);
  w.feed(0, "#Jan,x,1,2,4$#Ola,y,1,2,9$");
  w.feed(2, "#Ewa,z,1,2,7$");
  on_service_read(w.ctx);
  EXPECT_EQ(w.log.lines, (Lines{"Przekaznik otwarty zdalnie przez:Jan, w czytniku o adresie:5",
                                "Przekaznik otwarty zdalnie przez:Ola, w czytniku o adresie:10",
                                "Przekaznik otwarty zdalnie przez:Ewa, w czytniku o adresie:8"}));
  EXPECT_EQ(w.relays(), (std::vector<int>{1, 2}));
  EXPECT_EQ(w.sent(0), "OKOK");
  EXPECT_EQ(w.sent(1), "");
  EXPECT_EQ(w.sent(2), "OK");
  EXPECT_EQ(w.service.conns[1].state.idle_ticks, 0);
}

// Commands are cut from the stream at "$": several in one read, one over
// several reads. A start kept too long (2 s) or grown too big (256 bytes)
// without its "$" fails as a command without "$" always has.
TEST(RemoteControl, CommandsAreCutFromTheStream) {
  struct Read {
    int64_t after_ms;  // since the read before
    std::string text;  // empty: a supervision tick instead of a read
  };
  struct Case {
    const char* name;
    std::vector<Read> reads;
    std::string answers;
    Lines lines;   // "Zdarzenia"
    Lines errors;  // to the operator
  };
  const std::string jan = "Przekaznik otwarty zdalnie przez:Jan, w czytniku o adresie:5";
  const std::string ola = "Przekaznik otwarty zdalnie przez:Ola, w czytniku o adresie:7";
  const std::string no_int = "'' is not a valid integer value";
  const Case cases[] = {
      {"two in one read", {{0, "#Jan,x,1,2,4$#Ola,y,1,2,6$"}}, "OKOK", {jan, ola}, {}},
      {"split in the middle", {{0, "#Jan,x,1"}, {100, ",2,4$"}}, "OK", {jan}, {}},
      {"one byte at a time",
       {{0, "#"}, {5, "J"}, {5, "an,x,1,2,"}, {5, "4"}, {5, "$"}},
       "OK",
       {jan},
       {}},
      {"end of one, then the next whole",
       {{0, "#Jan,x,1,2,4$#Ola"}, {100, ",y,1,2,6$"}},
       "OKOK",
       {jan, ola},
       {}},
      {"line ends between commands",
       {{0, "#Jan,x,1,2,4$\r\n"}, {100, "#Ola,y,1,2,6$\n"}},
       "OKOK",
       {jan, ola},
       {}},
      {"a malformed one between good ones",
       {{0, "#Jan,x,1,2,4$#a,b,x,2,3$#Ola,y,1,2,6$"}},
       "OKOK",
       {jan, ola},
       {"'x' is not a valid integer value"}},
      {"rest within 2 s", {{0, "#Jan,x,1,2,4"}, {1999, "$"}}, "OK", {jan}, {}},
      {"rest too late", {{0, "#Jan,x,1,2,4"}, {2000, "$#Ola,y,1,2,6$"}}, "OK", {ola}, {no_int}},
      {"no $ at all, reported at the tick after 2 s",
       {{0, "#a,b,1,2,3"}, {1999, ""}, {1, ""}},
       "",
       {},
       {no_int}},
      {"too long without $", {{0, "#" + std::string(kMaxPartialCommand, 'J')}}, "", {}, {no_int}},
      {"long, but whole in one read",
       {{0, "#" + std::string(600, 'J') + "," + "x,1,2,4$"}},
       "OK",
       {"Przekaznik otwarty zdalnie przez:" + std::string(600, 'J') + ", w czytniku o adresie:5"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.st.readers[2].adr485 = 7;
    w.st.reader_count = 2;
    w.only(kEvents);
    for (const Read& r : c.reads) {
      w.clock.mono += r.after_ms;
      if (r.text.empty()) {
        w.ticks(1);
        continue;
      }
      w.feed(0, r.text);
      on_service_read(w.ctx);
    }
    EXPECT_EQ(w.sent(0), c.answers);
    EXPECT_EQ(w.log.lines, c.lines);
    EXPECT_EQ(w.op.errors, c.errors);
  }
}

struct FakeJournal : Journal {
  Lines lines;
  void line(Severity, const std::string& text) override { lines.push_back(text); }
};

TEST(RemoteControl, EveryOpeningIsJournalledAndOnlyOneAtATimeTakesTheReadersTurn) {
  // Monitor off: the journal has the account anyway. Each step is a command
  // (or, without one, a poll tick after the reader acknowledged its relay),
  // whether reader 5 then has a relay queued, and the journal's new lines.
  struct Step {
    const char* cmd;
    bool relay;
    Lines journal;
  };
  const std::string jan = "remote opening from 10.0.0.7: name Jan, reader 5, typ 1, rozkaz 2";
  const std::string held = jan + ", one already pending";
  const Step steps[] = {
      {"#Jan,x,1,2,4$", true, {jan}},
      {"#Jan,x,1,2,4$", true, {held}},
      {"#Jan,x,1,2,4$", true, {}},  // identical: counted
      {"#Ola\x1b,y,0,0,7$",
       true,
       {held + " (repeated 1 more times)",
        "remote opening from 10.0.0.7: name Ola\\x1B, reader 8, typ 0, rozkaz 0, no such reader"}},
      // Acknowledged, but not polled since: the next poll comes first.
      {nullptr, false, {}},
      {"#Jan,x,1,2,4$", false, {held}},
      {"", false, {}},  // the poll tick
      {"#Jan,x,1,2,4$", true, {jan}},
  };
  World w;
  w.log.all(false);
  FakeJournal journal;
  w.st.upkeep.journal = &journal;
  w.service.conns[0].address = "10.0.0.7";
  w.serial.opened = true;
  int commands = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.cmd ? s.cmd : "ack");
    journal.lines.clear();
    if (s.cmd == nullptr) {
      w.st.readers[1].sent = kActionNone;
      w.st.readers[1].action = kActionNone;
    } else if (*s.cmd == 0) {
      on_poll_tick(w.ctx);
    } else {
      w.feed(0, s.cmd);
      on_service_read(w.ctx);
      ++commands;
    }
    EXPECT_EQ(w.st.readers[1].action == kActionRelay, s.relay);
    EXPECT_EQ(journal.lines, s.journal);
  }
  EXPECT_EQ(w.st.remote_openings, commands);
  EXPECT_EQ(w.sent(0).size(), 2u * commands);  // every one still answered "OK"
}

TEST(RemoteControl, OnlyACommandThatActsKeepsTheConnection) {
  const std::pair<const char*, int> cases[] = {
      {"#Jan,x,1,2,4$", 100},  // reader 5
      {"#Jan,x,1,2,7$", 7},    // no reader 8: answered, but no activity
      {"#Jan,x,q,2,4$", 7},    // malformed
      {"#Jan", 7},
  };
  for (const auto& [cmd, ticks] : cases) {
    World w;
    w.service.conns[0].state.idle_ticks = 7;
    w.feed(0, cmd);
    on_service_read(w.ctx);
    EXPECT_EQ(w.service.conns[0].state.idle_ticks, ticks) << cmd;
  }
}

TEST(RemoteControl, AConnectionSendingFasterThanItsRateIsReadAndDropped) {
  World w(2);
  FakeJournal journal;
  w.st.upkeep.journal = &journal;
  w.log.all(false);
  for (int k = 0; k < 60; ++k) {
    w.feed(0, "#Jan,x,1,2,7$");
    on_service_read(w.ctx);
  }
  EXPECT_EQ(w.sent(0).size(), 2u * 50);  // the burst is served, the rest not
  EXPECT_EQ(w.waiting(0), 0);
  w.feed(1, "#Ola,x,1,2,7$");  // another connection is not held back by it
  on_service_read(w.ctx);
  EXPECT_EQ(w.sent(1), "OK");
  const std::string dropped =
      "remote commands dropped from 127.0.0.1: more than 50 a second on one connection";
  EXPECT_EQ(std::count(journal.lines.begin(), journal.lines.end(), dropped), 1);
  // A second later the connection is served again, and the drops are counted.
  journal.lines.clear();
  w.clock.mono += 10000;
  w.ticks(1);
  EXPECT_EQ(journal.lines, Lines{dropped + " (repeated 9 times)"});
  w.feed(0, "#Jan,x,1,2,7$");
  on_service_read(w.ctx);
  EXPECT_EQ(w.sent(0).size(), 2u * 51);
}

TEST(RemoteControl, GarbageFromOneClientNeitherHoldsUpOthersNorFloodsNorStaysConnected) {
  // The client behind the garbage is served in the same pass; the sender of
  // garbage is closed on its tenth malformed command, not before; its
  // identical reports come out once, then once more with their count.
  World w(2);
  for (int k = 1; k <= 10; ++k) {
    SCOPED_TRACE(k);
    w.feed(0, "#a,b,x,2,3$");
    w.feed(1, "#Jan,x,1,2,4$");
    on_service_read(w.ctx);
    EXPECT_EQ(w.sent(1).size(), 2u * k);
    EXPECT_EQ(w.service.conns[0].closed, k == 10);
  }
  EXPECT_EQ(w.sent(0), "");
  EXPECT_FALSE(w.service.conns[1].closed);
  EXPECT_EQ(w.op.errors, Lines{"'x' is not a valid integer value"});
  w.clock.mono += 1000;
  w.ticks(1);
  EXPECT_EQ(w.op.errors, (Lines{"'x' is not a valid integer value",
                                "'x' is not a valid integer value (repeated 9 times)"}));
}

TEST(RemoteControl, ReadsAtMostTheBufferPerPass) {
  // A command of exactly 1004 bytes works; one byte longer, its "$" falls
  // into the next read, which then fails on its own.
  const std::string tail = ",x,1,2,4$";
  const std::string fits = "#" + std::string(kServiceBufferSize - 1 - tail.size(), 'J') + tail;
  World a;
  a.feed(0, fits);
  on_service_read(a.ctx);
  EXPECT_EQ(a.sent(0), "OK");

  World b;
  b.feed(0, "#J" + fits.substr(1));
  on_service_read(b.ctx);
  EXPECT_EQ(b.waiting(0), 1);
  on_service_read(b.ctx);
  EXPECT_EQ(b.waiting(0), 0);
  EXPECT_EQ(b.op.errors, Lines{"'' is not a valid integer value"});  // twice, collapsed
  EXPECT_EQ(b.sent(0), "");

  World c;
  c.feed(0, "#Jan,x,1,2,4$" + std::string(3000, 'z'));
  on_service_read(c.ctx);
  EXPECT_EQ(c.waiting(0), 13 + 3000 - kServiceBufferSize);
  EXPECT_EQ(c.sent(0), "OK");
}

TEST(RemoteControl, LogsConnectAndDisconnect) {
  World w(2);
  w.service.conns[1].address = "10.0.0.7";
  on_service_connect(w.ctx, 1);
  on_service_disconnect(w.ctx, 1);
  w.log.on[static_cast<int>(LogCategory::Connections)] = false;
  on_service_connect(w.ctx, 1);
  EXPECT_EQ(w.log.lines, (Lines{"Connect 10.0.0.7", "Disconnect 10.0.0.7"}));
}

TEST(RemoteSupervision, ClosesHundredTicksAfterTheLastCommand) {
  World w;
  w.feed(0, "#Jan,x,1,2,4$");
  on_service_read(w.ctx);
  w.ticks(60);
  w.feed(0, "#Jan,x,1,2,4$");  // reloads the countdown
  on_service_read(w.ctx);
  w.ticks(99);
  ASSERT_EQ(w.service.connection_count(), 1);
  w.ticks(1);
  EXPECT_EQ(w.service.connection_count(), 0);

  // A connection that never sends anything is closed 100 ticks after accept.
  World s;
  on_service_connect(s.ctx, 0);
  s.ticks(99);
  ASSERT_EQ(s.service.connection_count(), 1);
  s.ticks(1);
  EXPECT_EQ(s.service.connection_count(), 0);
}

TEST(RemoteSupervision, CountdownsBelongToConnections) {
  World w(2);
  on_service_connect(w.ctx, 0);
  on_service_connect(w.ctx, 1);
  w.ticks(40);
  w.feed(0, "#Jan,x,1,2,4$");
  on_service_read(w.ctx);
  w.ticks(30);
  // The first client leaves; the silent second one moves to position 0 and
  // keeps its own countdown, 30 ticks from running out, not the first's.
  w.service.conns.erase(w.service.conns.begin());
  w.ticks(29);
  ASSERT_EQ(w.service.connection_count(), 1);
  w.ticks(1);
  EXPECT_EQ(w.service.connection_count(), 0);

  // Closing does not shift positions within a pass: with 0 and 1 expiring,
  // C and D survive and position 2's counter stays with the position.
  World p(4);
  const char* names[] = {"A", "B", "C", "D"};
  for (int i = 0; i < 4; ++i) p.service.conns[i].address = names[i];
  p.service.conns[0].state.idle_ticks = 1;
  p.service.conns[1].state.idle_ticks = 1;
  p.service.conns[2].state.idle_ticks = 5;
  p.ticks(1);
  ASSERT_EQ(p.service.connection_count(), 2);
  EXPECT_EQ(p.service.conns[0].address, "C");
  EXPECT_EQ(p.service.conns[0].state.idle_ticks, 4);
  EXPECT_EQ(p.service.conns[1].address, "D");
}

TEST(RemoteSupervision, EveryPositionIsServedAndSupervised) {
  World w(kServiceCounters + 2);
  for (auto& c : w.service.conns) c.state.idle_ticks = 1;
  w.feed(kServiceCounters + 1, "#Jan,x,1,2,4$");
  on_service_read(w.ctx);
  EXPECT_EQ(w.sent(kServiceCounters + 1), "OK");
  service_supervision_tick(w.ctx);
  for (int i = 0; i < kServiceCounters + 2; ++i)
    EXPECT_EQ(w.service.conns[i].closed, i != kServiceCounters + 1) << i;
}

}  // namespace
}  // namespace netbuf
