#include "pclink/pc_endpoint.h"

#include <gtest/gtest.h>

#include <memory>

#include "fakes.h"
#include "pclink/modbus_tcp.h"

namespace netbuf {
namespace {

using testing::FakeWorld;

TEST(PcEndpoint, SecondPcIsClosedAtOnceAndLabelSaysSo) {
  auto w = std::make_unique<FakeWorld>();
  w->pc.conns.resize(1);
  w->pc.conns[0].address = "10.0.0.1";
  on_pc_connect(w->ctx, 0);
  on_pc_accept(w->ctx);
  EXPECT_EQ(w->window.client, "10.0.0.1");

  w->pc.conns.emplace_back();
  w->pc.conns[1].address = "10.0.0.2";
  on_pc_connect(w->ctx, 1);
  on_pc_accept(w->ctx);
  EXPECT_FALSE(w->pc.conns[0].closed);
  EXPECT_TRUE(w->pc.conns[1].closed);
  on_pc_disconnect(w->ctx, 1);
  EXPECT_EQ(w->window.client, "Non connection");
  EXPECT_EQ(w->log.lines, (std::vector<std::string>{"Connect 10.0.0.1", "Connect 10.0.0.2",
                                                    "Disconnect 10.0.0.2"}));
}

TEST(PcEndpoint, ANewPcTakesOverFromOneServedNothingForTenSeconds) {
  // Milliseconds since the held PC was last served, when a new one arrives.
  const std::pair<int64_t, bool> cases[] = {{0, false}, {9999, false}, {10000, true}};
  for (const auto& [silent_ms, takes_over] : cases) {
    SCOPED_TRACE(silent_ms);
    auto w = std::make_unique<FakeWorld>();
    struct : Journal {
      std::vector<std::string> lines;
      void line(Severity, const std::string& t) override { lines.push_back(t); }
    } journal;
    w->st.upkeep.journal = &journal;
    w->clock.mono = 50000;
    w->pc.conns.resize(1);
    w->pc.conns[0].address = "10.0.0.1";
    on_pc_connect(w->ctx, 0);
    w->clock.mono += 3000;
    w->pc.feed(0, {0, 1, 0, 0, 0, 6, 0xFF, 3, 0, 0, 0, 1});
    on_pc_data(w->ctx);
    w->clock.mono += silent_ms;
    w->pc.conns.emplace_back();
    w->pc.conns[1].address = "10.0.0.2";
    on_pc_connect(w->ctx, 1);
    on_pc_accept(w->ctx);
    EXPECT_EQ(w->pc.conns[0].closed, takes_over);
    EXPECT_EQ(w->pc.conns[1].closed, !takes_over);
    if (takes_over) {
      EXPECT_EQ(w->window.client, "10.0.0.2");
      EXPECT_EQ(journal.lines,
                std::vector<std::string>{
                    "PC 10.0.0.2 takes over from 10.0.0.1, served nothing for 10 s"});
    } else {
      EXPECT_TRUE(journal.lines.empty());
    }
  }
}

TEST(PcEndpoint, AnswersOwedToAPcThatLeftAreNotSentToTheNext) {
  auto w = std::make_unique<FakeWorld>();
  w->pc.conns.resize(2);
  w->st.readers[1].pc_wait = 0xFF;
  w->st.readers[1].action = kActionForward;
  on_pc_disconnect(w->ctx, 1);  // a second PC turned away: the first still waits
  EXPECT_EQ(w->st.readers[1].pc_wait, 0xFF);
  on_pc_disconnect(w->ctx, 0);
  EXPECT_EQ(w->st.readers[1].pc_wait, 0);
  // The reader stays held until its answer ends the exchange.
  EXPECT_EQ(w->st.readers[1].action, kActionForward);
}

TEST(PcEndpoint, IdleSupervisionFromAcceptClosesAfter120TicksThenStops) {
  // A connection that never sends a request is closed all the same.
  auto w = std::make_unique<FakeWorld>();
  w->pc.conns.resize(1);
  on_pc_connect(w->ctx, 0);
  EXPECT_TRUE(w->window.super_on);
  for (int i = 0; i < 119; ++i) on_pc_supervision_tick(w->ctx);
  EXPECT_FALSE(w->pc.conns[0].closed);
  on_pc_supervision_tick(w->ctx);
  EXPECT_TRUE(w->pc.conns[0].closed);
  EXPECT_TRUE(w->window.super_on);
  w->pc.reap();
  on_pc_supervision_tick(w->ctx);
  EXPECT_FALSE(w->window.super_on);
}

TEST(PcEndpoint, ErrorReopensTheServerOnTheSamePort) {
  auto w = std::make_unique<FakeWorld>();
  w->pc.open(1502);
  w->pc.conns.resize(1);
  on_pc_error(w->ctx, 10054);
  EXPECT_TRUE(w->pc.conns[0].closed);
  EXPECT_TRUE(w->pc.listening);
  EXPECT_EQ(w->pc.port_no, 1502);
  EXPECT_EQ(w->pc.opens, 2);
  EXPECT_EQ(w->log.lines.back(), "Blad polonczenia TCP 10054");
}

}  // namespace
}  // namespace netbuf
