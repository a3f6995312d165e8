#include "host/control_server.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace netbuf {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// Requests of one window taken per wake-up; the rest waits for the next, so
// a flood from one window cannot keep the loop from the doors.
constexpr int kFramesPerWakeup = 64;

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ControlServer::ControlServer() {
  flush_.setInterval(static_cast<int>(refusals_.interval_ms()));
  connect(&flush_, &QTimer::timeout, this, [this] {
    for (ReportLimiter* limiter : {&refusals_, &closings_})
      for (const std::string& l : limiter->flush(now_ms()))
        if (say_) say_(l);
    if (!refusals_.holding() && !closings_.holding()) flush_.stop();
  });
}

ControlServer::~ControlServer() {
  for (auto& [id, w] : windows_) ::close(w.fd);
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(path_.toLocal8Bit().constData());
  }
}

std::string ControlServer::listen(const QString& path, const char* group_name) {
  const QByteArray p = path.toLocal8Bit();
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (static_cast<std::size_t>(p.size()) >= sizeof a.sun_path) return "path too long";
  std::memcpy(a.sun_path, p.constData(), static_cast<std::size_t>(p.size()));
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  // A socket that answers belongs to a netbuf that runs: it is not taken
  // from it. One that does not was left by a netbuf that did not end cleanly.
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 || errno == EAGAIN) {
    ::close(fd);
    return "in use by another netbuf";
  }
  ::close(fd);
  fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  ::unlink(p.constData());
  // Its mode and group are set before it listens: no stranger can connect
  // in between. The group can be given by a member only (the unit's
  // SupplementaryGroups=); without it only netbuf's own user and root
  // attach.
  const auto failed = [fd] {
    const std::string why = std::strerror(errno);
    ::close(fd);
    return why;
  };
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return failed();
  if (::chmod(p.constData(), 0660) != 0) {
    const std::string why = failed();
    ::unlink(p.constData());
    return why;
  }
  if (const struct group* g = group_name ? ::getgrnam(group_name) : nullptr)
    if (::chown(p.constData(), static_cast<uid_t>(-1), g->gr_gid) == 0) operators_ = g->gr_gid;
  if (::listen(fd, 8) != 0) {
    const std::string why = failed();
    ::unlink(p.constData());
    return why;
  }
  listen_fd_ = fd;
  path_ = path;
  listening_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(listening_.get(), &QSocketNotifier::activated, this, [this] { accept_windows(); });
  return {};
}

void ControlServer::adopt(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  add(fd);
}

bool ControlServer::peer_allowed(uid_t uid, gid_t gid, const gid_t* groups, std::size_t n,
                                 uid_t own_uid, std::optional<gid_t> operators) {
  if (uid == 0 || uid == own_uid) return true;
  if (!operators) return false;
  if (gid == *operators) return true;
  return std::find(groups, groups + n, *operators) != groups + n;
}

bool ControlServer::credentials_allowed(int fd, std::string& who) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    who = "a peer without credentials";
    return false;
  }
  // The same words for every attempt of one user, so that a flood of them
  // is one line and a count.
  who = "uid " + std::to_string(cred.uid);
  std::vector<gid_t> groups(64);
  socklen_t glen = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &glen) != 0) glen = 0;
  return peer_allowed(cred.uid, cred.gid, groups.data(), glen / sizeof(gid_t), ::geteuid(),
                      operators_);
}

void ControlServer::accept_windows() {
  // A few at a time: the rest wait in the backlog for the next wake-up.
  for (int i = 0; i < 8; ++i) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string who;
    if (!credentials_allowed(fd, who)) {
      ::close(fd);
      say(refusals_, "netbuf: control socket: " + who + " is not in the operators' group; refused");
      continue;
    }
    if (windows_.size() >= kMaxWindows) {
      ::close(fd);
      say(refusals_, "netbuf: control socket: " + std::to_string(kMaxWindows) +
                         " windows attached already; " + who + " refused");
      continue;
    }
    // A window connects once it is up, and says Hello at once.
    const int id = add(fd);
    QTimer::singleShot(kHelloWithinMs, this, [this, id] {
      auto it = windows_.find(id);
      if (it != windows_.end() && !it->second.hello) close_window(id, "said no Hello");
    });
  }
}

int ControlServer::add(int fd) {
  const int id = next_id_++;
  Window& w = windows_[id];
  w.fd = fd;
  w.read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  w.write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  w.write->setEnabled(false);
  connect(w.read.get(), &QSocketNotifier::activated, this, [this, id] { on_readable(id); });
  connect(w.write.get(), &QSocketNotifier::activated, this, [this, id] { on_writable(id); });
  return id;
}

void ControlServer::on_readable(int id) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  Window& w = it->second;
  // One read per wake-up; what is left wakes us again.
  if (w.in.buffered() < control::kMaxRequestFrame) {
    uint8_t buf[kReadChunk];
    const ssize_t n = ::recv(w.fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      close_window(id, {});
      return;
    }
    if (n > 0) w.in.feed({buf, static_cast<std::size_t>(n)});
  }
  for (int i = 0;; ++i) {
    if (i == kFramesPerWakeup) {
      // More may be whole already, with nothing left on the socket to wake us.
      QTimer::singleShot(0, this, [this, id] { on_readable(id); });
      return;
    }
    const auto item = w.in.next();
    if (!item) return;
    using Step = control::RequestStream::Step;
    switch (item->step) {
      case Step::kBroken:
        close_window(id, "sent what is not a request of this version");
        return;
      case Step::kOtherVersion:
        // It is told which version this netbuf speaks before it goes.
        send(id, control::hello_notice(false, {}));
        flush(id);
        close_window(id, "speaks version " + std::to_string(item->message.version));
        return;
      case Step::kHello:
        w.hello = true;
        emit attached(id);
        break;
      case Step::kRequest:
        emit request(id, item->message);
        break;
    }
    // A request may have closed this window (a queue over its bound).
    if (windows_.find(id) == windows_.end()) return;
  }
}

void ControlServer::send(int id, const std::string& frame) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  Window& w = it->second;
  if (w.out.size() - w.out_at + frame.size() > kMaxQueued) {
    close_window(id, "does not read what it is sent");
    return;
  }
  if (w.out_at > 0 && w.out_at >= w.out.size() / 2) {
    w.out.erase(0, w.out_at);
    w.out_at = 0;
  }
  w.out += frame;
  if (!w.write->isEnabled()) flush(id);
}

void ControlServer::on_writable(int id) {
  flush(id);
}

void ControlServer::flush(int id) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  Window& w = it->second;
  while (w.out_at < w.out.size()) {
    const ssize_t n =
        ::send(w.fd, w.out.data() + w.out_at, w.out.size() - w.out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      w.out_at += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      w.write->setEnabled(true);
      return;
    }
    if (n < 0 && errno == EINTR) continue;
    // Gone: the read side says so and closes it.
    w.out.clear();
    w.out_at = 0;
    w.write->setEnabled(false);
    return;
  }
  w.out.clear();
  w.out_at = 0;
  w.write->setEnabled(false);
}

void ControlServer::close_window(int id, const std::string& why) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  Window& w = it->second;
  const bool hello = w.hello;
  // This may run inside one of the notifiers' own signals: they go later.
  w.read->setEnabled(false);
  w.write->setEnabled(false);
  w.read.release()->deleteLater();
  w.write.release()->deleteLater();
  ::close(w.fd);
  windows_.erase(it);
  if (!why.empty()) say(closings_, "netbuf: window closed: it " + why);
  // Told from the loop, not from inside a send: whoever sends to a window
  // may be walking the list of windows.
  if (hello) QTimer::singleShot(0, this, [this, id] { emit detached(id); });
}

void ControlServer::say(ReportLimiter& limiter, const std::string& line) {
  if (!say_) return;
  for (const std::string& l : limiter.offer(line, now_ms())) say_(l);
  if (limiter.holding() && !flush_.isActive()) flush_.start();
}

}  // namespace netbuf
