#include "host/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace netbuf {

namespace {

// As often as the write-back tick: the status has nothing newer in between.
constexpr int kStatusMs = 3000;

// NOTIFY_SOCKET's address: a path, or an abstract name after "@".
int connect_notify_socket() {
  const QByteArray name = qgetenv("NOTIFY_SOCKET");
  sockaddr_un addr{};
  if (name.isEmpty() || static_cast<std::size_t>(name.size()) >= sizeof addr.sun_path) return -1;
  if (name[0] != '/' && name[0] != '@') return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
  if (name[0] == '@') addr.sun_path[0] = '\0';
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SystemdNotify::SystemdNotify(std::function<std::string()> status, QObject* parent)
    : QObject(parent),
      status_(std::move(status)),
      active_(qEnvironmentVariableIsSet("NOTIFY_SOCKET")) {
  if (!active_) return;
  fd_ = connect_notify_socket();
  status_timer_.setInterval(kStatusMs);
  connect(&status_timer_, &QTimer::timeout, this, &SystemdNotify::send_status);
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    // Twice per period, as systemd advises, so one late tick is no restart.
    watchdog_timer_.setInterval(static_cast<int>(usec / 2000 > 0 ? usec / 2000 : 1));
    connect(&watchdog_timer_, &QTimer::timeout, this, [this] {
      send_kept();
      // A ping that cannot go now is not kept: the next one follows.
      (void)send_now("WATCHDOG=1");
    });
  }
}

SystemdNotify::~SystemdNotify() {
  if (fd_ >= 0) ::close(fd_);
}

bool SystemdNotify::send_now(const std::string& message) {
  if (fd_ < 0) return true;
  const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

bool SystemdNotify::send(const std::string& message) {
  send_kept();
  if (!kept_.empty() || !send_now(message)) {
    // READY=1 must not be lost behind a newer status; a status replaces a status.
    if (kept_.starts_with("READY=1") && !message.starts_with("READY=1"))
      kept_ = "READY=1\n" + message;
    else
      kept_ = message;
    return false;
  }
  return true;
}

void SystemdNotify::send_kept() {
  if (!kept_.empty() && send_now(kept_)) kept_.clear();
}

void SystemdNotify::ready() {
  if (!active_) return;
  last_status_ = status_();
  send("READY=1\nSTATUS=" + last_status_);
  status_timer_.start();
  if (watchdog_timer_.interval() > 0 && !watchdog_timer_.isActive()) {
    (void)send_now("WATCHDOG=1");
    watchdog_timer_.start();
  }
}

void SystemdNotify::stopping() {
  if (active_) send("STOPPING=1");
}

void SystemdNotify::send_status() {
  const std::string s = status_();
  if (s == last_status_ && kept_.empty()) return;
  last_status_ = s;
  send("STATUS=" + s);
}

}  // namespace netbuf
