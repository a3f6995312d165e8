#include "host/window_companion.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/control_server.h"

namespace netbuf {

namespace {

constexpr const char* kProgram = "netbuf-window";

// The directory of the running executable, links resolved: /usr/sbin/netbuf
// runs /usr/lib/netbuf/netbuf, and the window is beside that.
QString executable_dir() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return {};
  path.resize(static_cast<std::size_t>(n));
  return QFileInfo(QString::fromStdString(path)).absolutePath();
}

}  // namespace

WindowCompanion::WindowCompanion(ControlServer& server, QString program)
    : server_(server), program_(std::move(program)) {
  again_.setSingleShot(true);
  connect(&again_, &QTimer::timeout, this, [this] { launch(); });
}

WindowCompanion::~WindowCompanion() {
  stop();
}

QString WindowCompanion::beside_executable() {
  return executable_dir() + QLatin1Char('/') + QLatin1String(kProgram);
}

bool WindowCompanion::start() {
  if (!QFileInfo(program_).isExecutable()) {
    if (say_)
      say_("netbuf: no window program " + program_.toStdString() + "; running without a window");
    return false;
  }
  launch();
  return true;
}

void WindowCompanion::stop() {
  stopping_ = true;
  again_.stop();
  if (process_) {
    // Told on the socket already (netbuf says it closes); a window that does
    // not listen is not waited for.
    process_->disconnect(this);
    if (process_->state() != QProcess::NotRunning && !process_->waitForFinished(1000)) {
      process_->kill();
      process_->waitForFinished(1000);
    }
    process_.reset();
  }
}

void WindowCompanion::launch() {
  if (stopping_) return;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    if (say_) say_(std::string("netbuf: window not started: ") + std::strerror(errno));
    again_.start(delay_ms_);
    return;
  }
  const int theirs = pair[1];
  process_ = std::make_unique<QProcess>();
  process_->setProgram(program_);
  process_->setArguments({QStringLiteral("--fd"), QString::number(theirs)});
  // Its lines go where netbuf's go.
  process_->setProcessChannelMode(QProcess::ForwardedChannels);
  process_->setInputChannelMode(QProcess::ForwardedInputChannel);
  process_->setChildProcessModifier([theirs] {
    // The one descriptor of netbuf's the window gets.
    ::fcntl(theirs, F_SETFD, 0);
  });
  connect(process_.get(), &QProcess::finished, this,
          [this](int code, QProcess::ExitStatus status) { ended(code, status); });
  // Not waited for: a program that cannot run says so here later, and its
  // end of the pair, closed with it, closes ours.
  connect(process_.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
    if (e != QProcess::FailedToStart || stopping_) return;
    if (say_) say_("netbuf: window not started: " + process_->errorString().toStdString());
    process_.release()->deleteLater();
    again_.start(delay_ms_);
    delay_ms_ = std::min(delay_ms_ * 2, kLongestDelayMs);
  });
  process_->start();
  ::close(theirs);
  server_.adopt(pair[0]);
  ran_.start();
}

void WindowCompanion::ended(int code, QProcess::ExitStatus status) {
  if (stopping_) return;
  if (ran_.isValid() && ran_.elapsed() >= kSettledMs) delay_ms_ = kFirstDelayMs;
  const std::string how =
      status == QProcess::CrashExit ? "was killed" : "ended with status " + std::to_string(code);
  if (say_)
    say_("netbuf: window " + how + "; started again in " + std::to_string(delay_ms_ / 1000) + " s");
  process_.release()->deleteLater();
  again_.start(delay_ms_);
  delay_ms_ = std::min(delay_ms_ * 2, kLongestDelayMs);
}

}  // namespace netbuf
