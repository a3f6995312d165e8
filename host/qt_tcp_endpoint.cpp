#include "host/qt_tcp_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "core/log_texts.h"
#include "host/direct_notifier.h"
#include "host/socket_setup.h"

namespace netbuf {

namespace {

// Connections waiting to be accepted, as Qt's server kept them.
constexpr int kListenBacklog = 50;

}  // namespace

QtTcpEndpoint::QtTcpEndpoint(int places, int per_address, QObject* parent)
    : QObject(parent), admission_(places, per_address), accept_pause_(this), refusal_flush_(this) {
  clock_.start();
  refusal_flush_.setInterval(static_cast<int>(admission_.flush_interval_ms()));
  connect(&refusal_flush_, &QTimer::timeout, this, [this] {
    for (const std::string& l : admission_.flush(clock_.elapsed())) report(l);
    if (!admission_.holding()) refusal_flush_.stop();
  });
  accept_pause_.setSingleShot(true);
  accept_pause_.setInterval(1000);
  connect(&accept_pause_, &QTimer::timeout, this, [this] {
    if (accept_notifier_) accept_notifier_->setEnabled(true);
  });
}

QtTcpEndpoint::~QtTcpEndpoint() {
  // No events while the owner is going away.
  for (auto& c : conns_)
    if (c->fd >= 0) ::close(c->fd);
  conns_.clear();
  if (listener_ >= 0) ::close(listener_);
}

void QtTcpEndpoint::drop_notifier(QSocketNotifier*& n) {
  if (!n) return;
  // It may be the one whose signal is being delivered right now.
  n->setEnabled(false);
  n->deleteLater();
  n = nullptr;
}

void QtTcpEndpoint::open(int port) {
  if (is_listening()) close();
  port_ = port;
  if (port < 0 || port > 65535) throw std::runtime_error(std::strerror(EINVAL));
  // SO_REUSEADDR inside: a restart must not wait for the last run's
  // connections to time out.
  const int fd = bind_ ? bound_socket(*bind_, port) : listening_socket(port);
  if (fd < 0) throw std::runtime_error(std::strerror(errno));
  if (::listen(fd, kListenBacklog) != 0) {
    const int err = errno;
    ::close(fd);
    throw std::runtime_error(std::strerror(err));
  }
  listener_ = fd;
  accept_notifier_ =
      new DirectNotifier(fd, QSocketNotifier::Read, this, [this] { accept_pending(); });
}

void QtTcpEndpoint::close() {
  accept_pause_.stop();
  // A handler may close the server from inside accept_pending().
  drop_notifier(accept_notifier_);
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
  for (int i = 0; i < static_cast<int>(conns_.size()); ++i) retire(i);
}

bool QtTcpEndpoint::is_listening() const {
  return listener_ >= 0;
}

// The bound port while listening (so port 0 reports what the system chose).
int QtTcpEndpoint::port() const {
  if (listener_ < 0) return port_;
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return port_;
  // sin_port and sin6_port lie at the same place.
  return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

void QtTcpEndpoint::set_allowed(std::optional<AddressList> list, std::string option) {
  admission_.set_allowed(std::move(list), std::move(option));
}

void QtTcpEndpoint::report(const std::string& text) {
  if (say_)
    say_(text);
  else
    std::cerr << text << std::endl;
}

void QtTcpEndpoint::say_refused(Admission::Verdict v, const Address16& peer) {
  for (const std::string& l : admission_.refused(v, peer, port(), clock_.elapsed())) report(l);
  if (admission_.holding() && !refusal_flush_.isActive()) refusal_flush_.start();
}

int QtTcpEndpoint::connection_count() const {
  return static_cast<int>(conns_.size());
}

bool QtTcpEndpoint::live(int i) const {
  return i >= 0 && i < static_cast<int>(conns_.size()) && !conns_[i]->closing;
}

int QtTcpEndpoint::index_of(uint64_t id) const {
  for (int i = 0; i < static_cast<int>(conns_.size()); ++i)
    if (conns_[i]->id == id) return i;
  return -1;
}

int QtTcpEndpoint::bytes_waiting(int i) {
  return live(i) ? static_cast<int>(conns_[i]->in.unread()) : 0;
}

int QtTcpEndpoint::receive(int i, std::span<uint8_t> buf) {
  if (!live(i) || buf.empty()) return 0;
  Connection& c = *conns_[i];
  const std::size_t n = c.in.take(buf.first(std::min(buf.size(), std::size_t{INT_MAX})));
  if (n == 0) return 0;
  if (c.in.unread() > 0) {
    // Bytes left behind raise another read event, as a socket does after
    // recv: the event that brought them may be spent before their turn.
    post_read(c.id);
  }
  // A full buffer had stopped reading; the peer may send again.
  if (c.reader && !c.reader->isEnabled()) c.reader->setEnabled(true);
  return static_cast<int>(n);
}

bool QtTcpEndpoint::send(int i, std::span<const uint8_t> bytes) {
  if (!live(i)) return false;
  if (bytes.empty()) return true;
  Connection& c = *conns_[i];
  if (c.out.unsent() == 0) {
    const ssize_t put = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put == static_cast<ssize_t>(bytes.size())) return true;
    if (put < 0 && !would_block(errno)) {
      defer_failure(c.id, errno);
      return false;
    }
    if (put > 0) bytes = bytes.subspan(static_cast<std::size_t>(put));
  }
  // Whatever the kernel did not take goes when the socket can take it.
  c.out.queue(bytes);
  if (c.out.over(max_unsent_)) {
    // The kernel's buffer is full as well: the peer has stopped reading.
    std::cerr << texts::kOutputBound << c.address << ':' << port() << std::endl;
    retire(i);
    return false;
  }
  if (!c.writer) {
    c.writer = new DirectNotifier(c.fd, QSocketNotifier::Write, this,
                                  [this, id = c.id] { on_writable(id); });
  }
  return true;
}

void QtTcpEndpoint::on_writable(uint64_t id) {
  const int i = index_of(id);
  if (!live(i)) return;
  Connection& c = *conns_[i];
  const auto pending = c.out.pending();
  const ssize_t put = ::send(c.fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (put < 0) {
    if (would_block(errno)) return;
    socket_failed(i, errno);
    return;
  }
  c.out.sent(static_cast<std::size_t>(put));
  if (c.out.unsent() > 0) return;
  drop_notifier(c.writer);
  if (c.close_when_sent) retire(i);
}

void QtTcpEndpoint::close_when_sent(int i) {
  if (!live(i)) return;
  if (conns_[i]->out.unsent() == 0)
    retire(i);
  else
    conns_[i]->close_when_sent = true;
}

ConnectionState* QtTcpEndpoint::state(int i) {
  return live(i) ? &conns_[i]->state : nullptr;
}

std::string QtTcpEndpoint::remote_address(int i) const {
  if (i < 0 || i >= static_cast<int>(conns_.size())) return {};
  return conns_[i]->address;
}

void QtTcpEndpoint::close_connection(int i) {
  if (live(i)) retire(i);
}

void QtTcpEndpoint::retire(int i) {
  if (!live(i)) return;
  Connection& c = *conns_[i];
  c.closing = true;
  admission_.release(c.peer);
  const uint64_t id = c.id;
  emit client_disconnect(i);
  // The entry leaves the list only while no handler runs (the queued removal
  // below, or reap()); its address stays readable until then.
  drop_notifier(c.reader);
  drop_notifier(c.writer);
  ::close(c.fd);
  c.fd = -1;
  c.in.release();
  c.out.release();
  QMetaObject::invokeMethod(
      this,
      [this, id] {
        const int k = index_of(id);
        if (k < 0) return;
        conns_.erase(conns_.begin() + k);
        // Bytes that came while an older connection was in the way (a PC
        // taking over) were not served in its place; they are now.
        for (int i = 0; i < static_cast<int>(conns_.size()); ++i)
          if (live(i) && conns_[i]->in.unread() > 0) {
            post_read(conns_[i]->id);
            break;
          }
      },
      Qt::QueuedConnection);
}

void QtTcpEndpoint::post_read(uint64_t id) {
  QMetaObject::invokeMethod(
      this,
      [this, id] {
        const int i = index_of(id);
        if (!live(i)) return;
        // The read handler serves every connection with data, not only the
        // one that raised the event.
        const bool waiting = std::any_of(conns_.begin(), conns_.end(), [](const auto& c) {
          return !c->closing && c->in.unread() > 0;
        });
        if (waiting) emit client_read(i);
      },
      Qt::QueuedConnection);
}

void QtTcpEndpoint::on_readable(uint64_t id) {
  const int i = index_of(id);
  if (!live(i)) return;
  Connection& c = *conns_[i];
  const std::span<uint8_t> room = c.in.room();
  if (room.empty()) {
    // A peer that sends faster than it is served waits in TCP flow control
    // instead of in our memory.
    c.reader->setEnabled(false);
    return;
  }
  const ssize_t got = ::recv(c.fd, room.data(), room.size(), MSG_DONTWAIT);
  if (got < 0 && would_block(errno)) return;
  if (got < 0 && !peer_left(errno)) {
    socket_failed(i, errno);
    return;
  }
  if (got <= 0) {
    peer_closed(i);
    return;
  }
  c.in.filled(static_cast<std::size_t>(got));
  if (c.in.full()) c.reader->setEnabled(false);
  emit client_read(i);
}

void QtTcpEndpoint::peer_closed(int i) {
  const uint64_t id = conns_[i]->id;
  conns_[i]->reader->setEnabled(false);
  if (conns_[i]->in.unread() > 0) emit client_read(i);
  // The read handler may have closed it, or the whole endpoint.
  const int k = index_of(id);
  if (live(k)) retire(k);
}

void QtTcpEndpoint::socket_failed(int i, int err) {
  const uint64_t id = conns_[i]->id;
  if (conns_[i]->reader) conns_[i]->reader->setEnabled(false);
  emit client_error(i, socket_error_code(err));
  const int k = index_of(id);
  if (live(k)) retire(k);
}

void QtTcpEndpoint::defer_failure(uint64_t id, int err) {
  QMetaObject::invokeMethod(
      this,
      [this, id, err] {
        const int i = index_of(id);
        if (!live(i)) return;
        if (peer_left(err))
          retire(i);
        else
          socket_failed(i, err);
      },
      Qt::QueuedConnection);
}

bool QtTcpEndpoint::peer_gone(const Connection& c) {
  // Unread bytes still belong to the logic; only an idle socket is probed.
  if (c.in.unread() > 0) return false;
  char b;
  const ssize_t r = ::recv(c.fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
  return r == 0 || (r < 0 && peer_left(errno));
}

void QtTcpEndpoint::reap() {
  for (int i = 0; i < static_cast<int>(conns_.size()); ++i)
    if (live(i) && peer_gone(*conns_[i])) retire(i);
  // No handler is running: retired entries can leave the list now.
  std::erase_if(conns_, [](const auto& c) { return c->closing; });
}

void QtTcpEndpoint::accept_pending() {
  const int listener = listener_;
  // A bounded batch: a flood of connections must not keep the loop from the
  // clients already connected. The notifier fires again for the rest.
  for (int k = 0; k < 64 && listener_ == listener && listener >= 0; ++k) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        pause_accepting(errno);
      return;  // otherwise nothing more is waiting
    }
    // A peer that left just before this one came must not count as open, or
    // the newcomer would take a position behind a dead connection.
    reap();
    take_connection(fd);
  }
}

void QtTcpEndpoint::pause_accepting(int err) {
  // Out of descriptors or memory passes; failures less than a minute apart
  // are one shortage, said once.
  accept_notifier_->setEnabled(false);
  accept_pause_.start();
  if (!last_accept_failure_.isValid() || last_accept_failure_.elapsed() > 60000)
    std::cerr << texts::kAcceptPaused << port() << ": " << std::strerror(err) << std::endl;
  last_accept_failure_.start();
}

void QtTcpEndpoint::take_connection(int fd) {
  const std::optional<Address16> peer = peer_address(fd);
  if (!peer) {  // gone again before we took it
    ::close(fd);
    return;
  }
  const Admission::Verdict v = admission_.admit(*peer, clock_.elapsed());
  if (v != Admission::Verdict::Admitted) {
    ::close(fd);
    say_refused(v, *peer);
    return;
  }
  std::string address = address_text(*peer);
  set_option(fd, IPPROTO_TCP, TCP_NODELAY);
  // A peer that vanished without a word (power cut, cable) is noticed.
  set_option(fd, SOL_SOCKET, SO_KEEPALIVE);
  auto c = std::make_unique<Connection>();
  c->id = next_id_++;
  c->fd = fd;
  c->peer = *peer;
  c->address = std::move(address);
  c->reader =
      new DirectNotifier(fd, QSocketNotifier::Read, this, [this, id = c->id] { on_readable(id); });
  conns_.push_back(std::move(c));
  const int i = static_cast<int>(conns_.size()) - 1;
  emit client_connect(i);
  emit client_accept();
}

}  // namespace netbuf
