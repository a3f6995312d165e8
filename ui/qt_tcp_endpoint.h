// A listening TCP server over QTcpServer with its connections oldest first,
// delivering connect/accept/read/disconnect/error as signals on the GUI thread.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <string>
#include <vector>

#include "core/platform.h"

class QTcpSocket;

namespace netbuf {

class QtTcpEndpoint : public QObject, public TcpEndpoint {
  Q_OBJECT

 public:
  // max_connections > 0 closes any connection beyond that many at once,
  // without events; 0 accepts every connection.
  explicit QtTcpEndpoint(int max_connections = 0, QObject* parent = nullptr);
  ~QtTcpEndpoint() override;

  void open(int port) override;
  void close() override;
  bool is_listening() const override;
  int port() const override;
  int connection_count() const override;
  int bytes_waiting(int i) override;
  int receive(int i, std::span<uint8_t> buf) override;
  void send(int i, std::span<const uint8_t> bytes) override;
  std::string remote_address(int i) const override;
  void close_connection(int i) override;
  ConnectionState* state(int i) override;

  // Unsent output one connection may hold before it is closed: a client that
  // sends requests but never reads the answers must not grow our memory.
  static constexpr qint64 kMaxUnsent = 64 * 1024;
  // Received bytes one connection may hold before we stop reading from it.
  static constexpr qint64 kMaxUnread = 64 * 1024;

 signals:
  void client_connect(int connection);
  void client_accept();
  void client_read(int connection);
  void client_disconnect(int connection);
  void client_error(int connection, int code);

 private:
  struct Connection {
    QTcpSocket* socket;
    std::string address;   // kept so it stays readable while the socket goes
    bool closing = false;  // disconnect event given, removal pending
    bool read_posted = false;
    ConnectionState state;
  };

  // Takes the connections waiting on the listening socket.
  void accept_pending();
  void pause_accepting(int err);
  void take_connection(QTcpSocket* s);
  // Closes connection i when its unsent output is past the bound.
  bool over_output_bound(int i);
  static bool peer_gone(QTcpSocket* s);
  void reap();
  int index_of(const QTcpSocket* s) const;
  bool live(int i) const;
  // Gives the disconnect event, aborts the socket and removes it once the
  // current handler has returned.
  void retire(int i);
  void post_read(QTcpSocket* s, bool again = false);
  void deliver_read(QTcpSocket* s);
  void post_error(QTcpSocket* s, int code);

  QTcpServer server_;
  std::vector<Connection> conns_;
  int max_connections_;
  int port_ = 0;
  // Accepting is paused while the system has no descriptors or memory left.
  // netbuf accepts by itself: Qt's server keeps only the first error it ever
  // saw, so after one ordinary "nothing waiting" it takes running out of
  // descriptors for the same and polls the socket in a busy loop.
  QSocketNotifier* accept_notifier_ = nullptr;
  QTimer accept_pause_;
  QElapsedTimer last_accept_failure_;
};

// The error number shown to the operator for a socket error; Winsock numbering,
// which the installation's operators know.
int socket_error_code(int qt_socket_error);

}  // namespace netbuf
