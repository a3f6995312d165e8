#include "ui/qt_tcp_endpoint.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "core/log_texts.h"

namespace netbuf {

namespace {

std::string dotted_ipv4(const QHostAddress& a) {
  bool ok = false;
  const quint32 v4 = a.toIPv4Address(&ok);  // also unwraps ::ffff:a.b.c.d
  return ok ? QHostAddress(v4).toString().toStdString() : a.toString().toStdString();
}

}  // namespace

int socket_error_code(int qt_socket_error) {
  switch (static_cast<QAbstractSocket::SocketError>(qt_socket_error)) {
    case QAbstractSocket::ConnectionRefusedError:
      return 10061;
    case QAbstractSocket::RemoteHostClosedError:
      return 10054;
    case QAbstractSocket::HostNotFoundError:
      return 11001;
    case QAbstractSocket::SocketAccessError:
      return 10013;
    case QAbstractSocket::SocketResourceError:
      return 10055;
    case QAbstractSocket::SocketTimeoutError:
      return 10060;
    case QAbstractSocket::NetworkError:
      return 10050;
    case QAbstractSocket::AddressInUseError:
      return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
      return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
      return 10045;
    default:
      return 10053;
  }
}

QtTcpEndpoint::QtTcpEndpoint(int max_connections, QObject* parent)
    : QObject(parent), server_(this), max_connections_(max_connections), accept_pause_(this) {
  accept_pause_.setSingleShot(true);
  accept_pause_.setInterval(1000);
  connect(&accept_pause_, &QTimer::timeout, this, [this] {
    if (accept_notifier_) accept_notifier_->setEnabled(true);
  });
}

QtTcpEndpoint::~QtTcpEndpoint() {
  // No events while the owner is going away.
  for (Connection& c : conns_) {
    c.socket->disconnect();
    c.socket->abort();
    delete c.socket;
  }
  conns_.clear();
}

void QtTcpEndpoint::open(int port) {
  if (server_.isListening()) close();
  port_ = port;
  if (port < 0 || port > 65535 ||
      !server_.listen(QHostAddress::AnyIPv4, static_cast<quint16>(port)))
    throw std::runtime_error(server_.errorString().toStdString());
  server_.pauseAccepting();
  accept_notifier_ = new QSocketNotifier(server_.socketDescriptor(), QSocketNotifier::Read, this);
  connect(accept_notifier_, &QSocketNotifier::activated, this, &QtTcpEndpoint::accept_pending);
}

void QtTcpEndpoint::close() {
  accept_pause_.stop();
  if (accept_notifier_) {
    // A handler may close the server from inside accept_pending().
    accept_notifier_->setEnabled(false);
    accept_notifier_->deleteLater();
    accept_notifier_ = nullptr;
  }
  server_.close();
  for (int i = 0; i < static_cast<int>(conns_.size()); ++i) retire(i);
}

bool QtTcpEndpoint::is_listening() const {
  return server_.isListening();
}

// The bound port while listening (so port 0 reports what the system chose).
int QtTcpEndpoint::port() const {
  return server_.isListening() ? server_.serverPort() : port_;
}

int QtTcpEndpoint::connection_count() const {
  return static_cast<int>(conns_.size());
}

bool QtTcpEndpoint::live(int i) const {
  return i >= 0 && i < static_cast<int>(conns_.size()) && !conns_[i].closing;
}

int QtTcpEndpoint::bytes_waiting(int i) {
  if (!live(i)) return 0;
  return static_cast<int>(std::min<qint64>(conns_[i].socket->bytesAvailable(), INT_MAX));
}

int QtTcpEndpoint::receive(int i, std::span<uint8_t> buf) {
  if (!live(i) || buf.empty()) return 0;
  QTcpSocket* s = conns_[i].socket;
  const qint64 got = s->read(reinterpret_cast<char*>(buf.data()), static_cast<qint64>(buf.size()));
  // Bytes left behind raise another read event, as a socket does after recv,
  // even when one is pending already: that one may be spent before these
  // bytes get their turn.
  if (s->bytesAvailable() > 0) post_read(s, true);
  return got > 0 ? static_cast<int>(got) : 0;
}

void QtTcpEndpoint::send(int i, std::span<const uint8_t> bytes) {
  if (!live(i) || bytes.empty()) return;
  QTcpSocket* s = conns_[i].socket;
  // With nothing queued in Qt's buffer the answer goes straight to the kernel:
  // a buffered write arms and then disarms the write notifier, two extra
  // wake-ups of the event loop per answer. Whatever the kernel does not take,
  // and any error, goes the usual way through Qt, behind these bytes.
  if (s->bytesToWrite() == 0) {
    const ssize_t put = ::send(static_cast<int>(s->socketDescriptor()), bytes.data(), bytes.size(),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put == static_cast<ssize_t>(bytes.size())) return;
    if (put > 0) bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  if (s->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) <
      0) {
    post_error(s, socket_error_code(s->error()));
    return;
  }
  s->flush();  // hand it to the kernel now rather than at the next loop pass
  over_output_bound(i);
}

bool QtTcpEndpoint::over_output_bound(int i) {
  if (!live(i) || conns_[i].socket->bytesToWrite() <= kMaxUnsent) return false;
  // The kernel's buffer is full as well: the peer has stopped reading.
  std::cerr << texts::kOutputBound << conns_[i].address << ':' << port() << std::endl;
  retire(i);
  return true;
}

ConnectionState* QtTcpEndpoint::state(int i) {
  return live(i) ? &conns_[i].state : nullptr;
}

std::string QtTcpEndpoint::remote_address(int i) const {
  if (i < 0 || i >= static_cast<int>(conns_.size())) return {};
  return conns_[i].address;
}

void QtTcpEndpoint::close_connection(int i) {
  if (live(i)) retire(i);
}

int QtTcpEndpoint::index_of(const QTcpSocket* s) const {
  for (int i = 0; i < static_cast<int>(conns_.size()); ++i)
    if (conns_[i].socket == s) return i;
  return -1;
}

void QtTcpEndpoint::retire(int i) {
  if (!live(i)) return;
  conns_[i].closing = true;
  QTcpSocket* s = conns_[i].socket;
  emit client_disconnect(i);
  // Entries leave the list only while no handler runs (the queued removal
  // below, or reap()), so the handler above cannot have moved this one.
  s->disconnect();
  s->abort();
  QMetaObject::invokeMethod(
      this,
      [this, s] {
        const int k = index_of(s);
        if (k >= 0) conns_.erase(conns_.begin() + k);
        s->deleteLater();
      },
      Qt::QueuedConnection);
}

void QtTcpEndpoint::post_read(QTcpSocket* s, bool again) {
  const int i = index_of(s);
  if (i < 0 || (conns_[i].read_posted && !again)) return;
  conns_[i].read_posted = true;
  QMetaObject::invokeMethod(
      s, [this, s] { deliver_read(s); }, Qt::QueuedConnection);
}

void QtTcpEndpoint::deliver_read(QTcpSocket* s) {
  const int i = index_of(s);
  if (i < 0) return;
  conns_[i].read_posted = false;
  // The read handler serves every connection with data, not only the one
  // that raised the event; a handler that gave up half way (a malformed
  // command) leaves later connections' bytes for whichever event comes next.
  const bool waiting = std::any_of(conns_.begin(), conns_.end(), [](const Connection& c) {
    return !c.closing && c.socket->bytesAvailable() > 0;
  });
  if (waiting) emit client_read(i);
}

void QtTcpEndpoint::post_error(QTcpSocket* s, int code) {
  QMetaObject::invokeMethod(
      s,
      [this, s, code] {
        const int i = index_of(s);
        if (live(i)) emit client_error(i, code);
      },
      Qt::QueuedConnection);
}

bool QtTcpEndpoint::peer_gone(QTcpSocket* s) {
  if (s->state() == QAbstractSocket::UnconnectedState) return true;
  // Unread bytes still belong to the logic; only an idle socket is probed.
  if (s->bytesAvailable() > 0) return false;
  char c;
  return ::recv(static_cast<int>(s->socketDescriptor()), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void QtTcpEndpoint::reap() {
  for (int i = 0; i < static_cast<int>(conns_.size()); ++i)
    if (live(i) && peer_gone(conns_[i].socket)) retire(i);
  // No handler is running: retired entries can leave the list now. Their
  // sockets are still deleted by the queued removal.
  std::erase_if(conns_, [](const Connection& c) { return c.closing; });
}

void QtTcpEndpoint::accept_pending() {
  QSocketNotifier* const notifier = accept_notifier_;
  const int listener = static_cast<int>(server_.socketDescriptor());
  // A bounded batch: a flood of connections must not keep the loop from the
  // clients already connected. The notifier fires again for the rest.
  for (int k = 0; k < 64 && accept_notifier_ == notifier; ++k) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        pause_accepting(errno);
      return;  // otherwise nothing more is waiting
    }
    auto* s = new QTcpSocket(this);
    if (!s->setSocketDescriptor(fd)) {
      ::close(fd);
      delete s;
      continue;
    }
    // A peer that left just before this one came must not count as open, or
    // the newcomer would take a position behind a dead connection.
    reap();
    take_connection(s);
  }
}

void QtTcpEndpoint::pause_accepting(int err) {
  // Out of descriptors or memory passes; until then the waiting connection
  // would wake the loop for nothing, over and over. Failures less than a
  // minute apart are one shortage, said once.
  accept_notifier_->setEnabled(false);
  accept_pause_.start();
  if (!last_accept_failure_.isValid() || last_accept_failure_.elapsed() > 60000)
    std::cerr << texts::kAcceptPaused << port() << ": " << std::strerror(err) << std::endl;
  last_accept_failure_.start();
}

void QtTcpEndpoint::take_connection(QTcpSocket* s) {
  if (max_connections_ > 0 && static_cast<int>(conns_.size()) >= max_connections_) {
    s->abort();
    s->deleteLater();
    return;
  }
  s->setParent(this);
  s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  // A peer that vanished without a word (power cut, cable) is noticed.
  s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
  // A peer that sends faster than its requests are served waits in TCP flow
  // control instead of in our memory.
  s->setReadBufferSize(kMaxUnread);
  conns_.push_back(Connection{s, dotted_ipv4(s->peerAddress()), false, false, {}});
  // Socket signals may be raised inside a handler (a failed write, say);
  // queuing them keeps every event out of a handler that is still running.
  // readyRead is the exception: Qt raises it only from the event loop's
  // read notification, never inside a handler, so it is delivered at once
  // rather than costing every request a second pass of the loop.
  connect(s, &QTcpSocket::readyRead, s, [this, s] { deliver_read(s); });
  connect(
      s, &QTcpSocket::disconnected, this,
      [this, s] {
        const int i = index_of(s);
        if (live(i)) retire(i);
      },
      Qt::QueuedConnection);
  connect(
      s, &QTcpSocket::errorOccurred, this,
      [this, s](QAbstractSocket::SocketError e) {
        // A peer's normal close is a disconnect, not an error.
        if (e == QAbstractSocket::RemoteHostClosedError) return;
        const int i = index_of(s);
        if (live(i)) emit client_error(i, socket_error_code(e));
      },
      Qt::QueuedConnection);
  const int i = static_cast<int>(conns_.size()) - 1;
  emit client_connect(i);
  emit client_accept();
  if (s->bytesAvailable() > 0) post_read(s);
}

}  // namespace netbuf
