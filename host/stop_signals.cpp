#include "host/stop_signals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace netbuf {

namespace {

int g_fds[2] = {-1, -1};

extern "C" void on_stop_signal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t r = ::write(g_fds[0], &b, 1);
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_fds) != 0)
    throw std::runtime_error("socketpair failed");
  ::fcntl(g_fds[0], F_SETFL, O_NONBLOCK);
  ::fcntl(g_fds[1], F_SETFL, O_NONBLOCK);
  notifier_ = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::on_readable);
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  // A hang-up (a closed session, systemctl kill -s HUP) stores like a stop
  // instead of ending the process without storing.
  ::sigaction(SIGHUP, &sa, nullptr);
}

StopSignals::~StopSignals() {
  ::signal(SIGTERM, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGHUP, SIG_DFL);
  delete notifier_;
  ::close(g_fds[0]);
  ::close(g_fds[1]);
  g_fds[0] = g_fds[1] = -1;
}

void StopSignals::on_readable() {
  unsigned char b = 0;
  while (::read(g_fds[1], &b, 1) == 1) emit stop_requested(b);
}

}  // namespace netbuf
