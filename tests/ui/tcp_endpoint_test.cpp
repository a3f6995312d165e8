#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>
#include <string>
#include <vector>

#include "host/qt_tcp_endpoint.h"
#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

using testing::spin;
using testing::wait_until;

// Records every event of an endpoint as text, with the address it reports for
// the connection at that moment.
struct Recorder {
  explicit Recorder(QtTcpEndpoint& ep) : ep(ep) {
    QObject::connect(&ep, &QtTcpEndpoint::client_connect, [this](int i) {
      events.push_back("connect " + std::to_string(i) + " " + this->ep.remote_address(i));
    });
    QObject::connect(&ep, &QtTcpEndpoint::client_accept, [this] { events.push_back("accept"); });
    QObject::connect(&ep, &QtTcpEndpoint::client_read,
                     [this](int i) { events.push_back("read " + std::to_string(i)); });
    QObject::connect(&ep, &QtTcpEndpoint::client_disconnect, [this](int i) {
      events.push_back("disconnect " + std::to_string(i) + " " + this->ep.remote_address(i));
    });
    QObject::connect(&ep, &QtTcpEndpoint::client_error, [this](int i, int code) {
      events.push_back("error " + std::to_string(i) + " " + std::to_string(code));
    });
  }
  int count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : events) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  QtTcpEndpoint& ep;
  std::vector<std::string> events;
};

// Connects without blocking; the endpoint needs the loop to accept.
std::unique_ptr<QTcpSocket> connect_client(int port) {
  auto c = std::make_unique<QTcpSocket>();
  c->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
  return c;
}

// Connects at once: the kernel completes the handshake before any accept.
int connect_now(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  return fd;
}

TEST(QtTcpEndpoint, OneClientFromConnectToDisconnect) {
  QtTcpEndpoint ep;
  Recorder rec(ep);
  ep.open(0);
  ASSERT_TRUE(ep.is_listening());
  ASSERT_GT(ep.port(), 0);

  auto client = connect_client(ep.port());
  ASSERT_TRUE(wait_until([&] { return rec.events.size() >= 2; }));
  ASSERT_TRUE(wait_until([&] { return client->state() == QAbstractSocket::ConnectedState; }));
  EXPECT_EQ(rec.events[0], "connect 0 127.0.0.1");
  EXPECT_EQ(rec.events[1], "accept");

  client->write("hello", 5);
  ASSERT_TRUE(wait_until([&] { return rec.count("read 0") == 1; }));
  EXPECT_EQ(ep.bytes_waiting(0), 5);
  uint8_t buf[16] = {};
  // Bytes left behind raise another read event, as the logic expects.
  EXPECT_EQ(ep.receive(0, std::span(buf).first(2)), 2);
  ASSERT_TRUE(wait_until([&] { return rec.count("read 0") == 2; }));
  EXPECT_EQ(ep.receive(0, std::span(buf).subspan(2)), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
  spin(50);
  EXPECT_EQ(rec.count("read 0"), 2);  // nothing left, no further event

  const uint8_t answer[] = {'O', 'K'};
  ep.send(0, std::span(answer).first(0));  // sends nothing
  ep.send(0, answer);
  ASSERT_TRUE(wait_until([&] { return client->bytesAvailable() >= 2; }));
  EXPECT_EQ(client->readAll(), QByteArray("OK"));

  // The peer's normal close is a disconnect, never an error.
  client->disconnectFromHost();
  ASSERT_TRUE(wait_until([&] { return rec.count("disconnect") == 1; }));
  EXPECT_EQ(rec.events.back(), "disconnect 0 127.0.0.1");
  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 0; }));
  EXPECT_EQ(rec.count("error"), 0);
}

TEST(QtTcpEndpoint, ResetByPeerIsADisconnectNotAnError) {
  QtTcpEndpoint ep;
  Recorder rec(ep);
  ep.open(0);
  auto client = connect_client(ep.port());
  ASSERT_TRUE(wait_until([&] {
    return rec.count("accept") == 1 && client->state() == QAbstractSocket::ConnectedState;
  }));
  // Linger 0 makes the close send RST instead of FIN.
  struct linger lg = {1, 0};
  ASSERT_EQ(::setsockopt(static_cast<int>(client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg,
                         sizeof lg),
            0);
  client->abort();
  ASSERT_TRUE(wait_until([&] { return rec.count("disconnect") == 1; }));
  spin(50);
  EXPECT_EQ(rec.count("error"), 0);
  EXPECT_EQ(ep.connection_count(), 0);
}

TEST(QtTcpEndpoint, APeerThatJustLeftDoesNotHoldPositionZero) {
  QtTcpEndpoint ep;
  Recorder rec(ep);
  ep.open(0);
  for (int round = 0; round < 20; ++round) {
    auto first = connect_client(ep.port());
    ASSERT_TRUE(wait_until([&] { return first->state() == QAbstractSocket::ConnectedState; }));
    ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 1; }));
    // Leave and come again before the endpoint has looked at the first socket.
    rec.events.clear();
    first->disconnectFromHost();
    first->waitForDisconnected(1000);
    auto next = connect_client(ep.port());
    ASSERT_TRUE(
        wait_until([&] { return rec.count("connect") == 1 && rec.count("disconnect") == 1; }));
    EXPECT_EQ(rec.count("connect 0"), 1) << "round " << round;
    next->abort();
    ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 0; }));
  }
}

TEST(QtTcpEndpoint, CloseConnectionKeepsPositionsUntilTheHandlerReturns) {
  QtTcpEndpoint ep;
  Recorder rec(ep);
  ep.open(0);
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(connect_client(ep.port()));
    ASSERT_TRUE(wait_until([&] { return ep.connection_count() == i + 1; }));
  }
  ASSERT_TRUE(wait_until([&] { return clients[2]->state() == QAbstractSocket::ConnectedState; }));
  clients[2]->write("x", 1);
  ASSERT_TRUE(wait_until([&] { return ep.bytes_waiting(2) == 1; }));

  // One pass, as a supervision tick makes it: close 0, then look at 1 and 2.
  rec.events.clear();
  ep.close_connection(0);
  ASSERT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(rec.events[0], "disconnect 0 127.0.0.1");  // address still readable
  EXPECT_EQ(ep.connection_count(), 3);
  EXPECT_EQ(ep.remote_address(0), "127.0.0.1");
  EXPECT_EQ(ep.bytes_waiting(0), 0);
  EXPECT_EQ(ep.bytes_waiting(2), 1);  // position 2 is still the third client
  ep.close_connection(0);             // already going: no second event
  EXPECT_EQ(rec.events.size(), 1u);

  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 2; }));
  EXPECT_EQ(ep.bytes_waiting(1), 1);  // the third client moved up
  ASSERT_TRUE(wait_until([&] { return clients[0]->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(clients[1]->state(), QAbstractSocket::ConnectedState);
}

TEST(QtTcpEndpoint, ConnectionsBeyondTheMaximumAreRefusedSilently) {
  QtTcpEndpoint ep(101);
  Recorder rec(ep);
  ep.open(0);
  std::vector<std::unique_ptr<QTcpSocket>> clients;
  for (int i = 0; i < 101; ++i) clients.push_back(connect_client(ep.port()));
  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 101; }, 5000));
  rec.events.clear();
  auto extra = connect_client(ep.port());
  ASSERT_TRUE(wait_until([&] { return extra->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(ep.connection_count(), 101);
}

// The service port's read handler serves positions in order and gives up at
// a malformed command; a newer client's bytes must then get an event of their
// own, even when the one raised for them was spent on the older client.
TEST(QtTcpEndpoint, BytesLeftByAnAbandonedReadGetALaterEvent) {
  QtTcpEndpoint ep;
  ep.open(0);
  auto older = connect_client(ep.port());
  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 1; }));
  auto newer = connect_client(ep.port());
  ASSERT_TRUE(wait_until([&] {
    return ep.connection_count() == 2 && newer->state() == QAbstractSocket::ConnectedState &&
           older->state() == QAbstractSocket::ConnectedState;
  }));
  std::string served;
  QObject::connect(&ep, &QtTcpEndpoint::client_read, [&](int) {
    uint8_t buf[16];
    if (ep.bytes_waiting(0) > 0) {
      ep.receive(0, std::span(buf).first(4));  // more than one read's worth: the rest waits
      return;                                  // and the pass ends here, as on a bad command
    }
    const int n = ep.receive(1, buf);
    served.append(reinterpret_cast<char*>(buf), n > 0 ? n : 0);
  });
  // Both arrive before the loop runs, so whichever event comes first finds
  // the older client's bytes.
  newer->write("OK", 2);
  newer->flush();
  older->write("bad-command", 11);
  older->flush();
  EXPECT_TRUE(wait_until([&] { return served == "OK"; }));
  EXPECT_EQ(ep.bytes_waiting(0), 0);
}

// Work queued for a closed connection names it by id: the newcomer that
// takes its place, and likely its memory, is not removed with it.
TEST(QtTcpEndpoint, QueuedRemovalOfAClosedConnectionSparesTheNewcomer) {
  QtTcpEndpoint ep;
  Recorder rec(ep);
  ep.open(0);
  auto first = connect_client(ep.port());
  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 1; }));
  QObject::connect(&ep, &QtTcpEndpoint::client_connect, [&](int i) {
    if (rec.count("disconnect") == 0 && i == 1) ep.close_connection(0);
  });
  // Both wait to be accepted, so one pass takes them: the second client's
  // arrival closes the first, the third's finds its entry gone.
  const int second = connect_now(ep.port());
  const int third = connect_now(ep.port());
  ASSERT_TRUE(wait_until([&] { return rec.count("connect") == 3; }));
  spin(50);
  EXPECT_EQ(rec.count("disconnect"), 1);
  ASSERT_EQ(ep.connection_count(), 2);
  ASSERT_EQ(::send(third, "x", 1, 0), 1);
  EXPECT_TRUE(wait_until([&] { return ep.bytes_waiting(1) == 1; }));
  ::close(second);
  ::close(third);
}

TEST(QtTcpEndpoint, OpenFailsOnABusyPortAndCloseDropsEveryConnection) {
  QTcpServer holder;
  ASSERT_TRUE(holder.listen(QHostAddress::AnyIPv4, 0));
  QtTcpEndpoint busy;
  EXPECT_THROW(busy.open(holder.serverPort()), std::runtime_error);
  EXPECT_FALSE(busy.is_listening());

  QtTcpEndpoint ep;
  Recorder rec(ep);
  ep.open(0);
  const int port = ep.port();
  auto a = connect_client(port);
  auto b = connect_client(port);
  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 2; }));
  rec.events.clear();
  // What the PC link does after a socket error: close, then open again.
  ep.close();
  ep.open(port);
  EXPECT_EQ(rec.count("disconnect"), 2);
  ASSERT_TRUE(wait_until([&] {
    return ep.connection_count() == 0 && a->state() == QAbstractSocket::UnconnectedState &&
           b->state() == QAbstractSocket::UnconnectedState;
  }));
  auto c = connect_client(port);
  ASSERT_TRUE(wait_until([&] { return ep.connection_count() == 1; }));
}

}  // namespace
}  // namespace netbuf
