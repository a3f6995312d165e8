// netbuf's end of the control socket with real sockets: bounded both ways.
#include "host/control_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/window_messages.h"
#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

using testing::wait_until;

TEST(ControlServer, AWindowThatStopsReadingIsDroppedTheOthersGoOn) {
  ControlServer server;
  std::vector<std::string> said;
  server.set_reporter([&](const std::string& l) { said.push_back(l); });
  std::vector<int> attached, detached;
  QObject::connect(&server, &ControlServer::attached, [&](int w) { attached.push_back(w); });
  QObject::connect(&server, &ControlServer::detached, [&](int w) { detached.push_back(w); });
  int peers[2];
  for (int& peer : peers) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    server.adopt(pair[0]);
    peer = pair[1];
    const std::string hello = control::hello_request();
    ASSERT_EQ(::write(peer, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  }
  ASSERT_TRUE(wait_until([&] { return attached.size() == 2; }));

  // The first window reads nothing: what waits for it grows to the bound,
  // and then it is closed. The second reads everything it is sent.
  const std::string line = control::text_notice(control::Notice::kLogLine, std::string(60000, 'x'));
  std::size_t sent = 0, received = 0;
  char buf[65536];
  while (detached.empty() && sent < 2 * ControlServer::kMaxQueued) {
    server.send(attached[0], line);
    server.send(attached[1], line);
    sent += line.size();
    QCoreApplication::processEvents();
    ssize_t n;
    while ((n = ::recv(peers[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) received += n;
  }
  ASSERT_TRUE(wait_until([&] { return !detached.empty(); }));
  EXPECT_EQ(detached, std::vector<int>{attached[0]});
  EXPECT_GE(sent, ControlServer::kMaxQueued);
  EXPECT_EQ(said, std::vector<std::string>{"netbuf: window closed: it does not read what it is "
                                           "sent"});
  EXPECT_TRUE(wait_until([&] {
    ssize_t n;
    while ((n = ::recv(peers[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) received += n;
    return received == sent;
  }));
  // The dropped window finds the end of its stream once it reads again.
  ssize_t n;
  while ((n = ::recv(peers[0], buf, sizeof buf, 0)) > 0) {
  }
  EXPECT_EQ(n, 0);
  for (int peer : peers) ::close(peer);
}

TEST(ControlServer, OnlyRootNetbufsOwnUserAndTheOperatorsMayAttach) {
  const gid_t operators = 990;
  const gid_t in_group[] = {24, 990};
  const gid_t others[] = {24, 100};
  const struct {
    uid_t uid;
    gid_t gid;
    const gid_t* groups;
    std::size_t n;
    std::optional<gid_t> operators;
    bool allowed;
  } cases[] = {
      {0, 0, nullptr, 0, operators, true},            // root
      {1000, 1000, nullptr, 0, operators, true},      // netbuf's own user (1000 here)
      {1001, 990, nullptr, 0, operators, true},       // the group as its primary one
      {1001, 1001, in_group, 2, operators, true},     // a member
      {1001, 1001, others, 2, operators, false},      // a stranger
      {1001, 990, in_group, 2, std::nullopt, false},  // no operators' group on this machine
  };
  for (const auto& c : cases)
    EXPECT_EQ(ControlServer::peer_allowed(c.uid, c.gid, c.groups, c.n, 1000, c.operators),
              c.allowed)
        << c.uid << " " << c.gid;
}

}  // namespace
}  // namespace netbuf
