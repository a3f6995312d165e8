// netbuf: the event buffer of the access-control installation. It never
// draws: the operator's window is a program of its own, netbuf-window, which
// netbuf starts beside itself on a desktop and which an operator may attach
// to a running service. Nothing a window or a display does can stop a door.
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/upkeep_tick.h"
#include "host/control_host.h"
#include "host/headless.h"
#include "host/host_options.h"
#include "host/journal_stream.h"
#include "host/output_queue.h"
#include "host/start_line.h"
#include "host/stop_signals.h"
#include "host/systemd_notify.h"
#include "host/window_companion.h"

namespace {

// Who may attach to a service's control socket besides netbuf's own user.
constexpr const char* kOperatorGroup = "netbuf-operator";

int run(char** argv, const netbuf::HostOptions& options) {
  // A log pipe or a window's socket that closes must not end the process;
  // the write fails and the buffer goes on.
  std::signal(SIGPIPE, SIG_IGN);
  // Qt's own poll loop wakes for a socket or a timer with less work than
  // glib's; the environment may still ask for glib with QT_NO_GLIB=.
  if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");

  // The buffer takes no arguments, not even Qt's own.
  int qt_argc = 1;
  QCoreApplication app(qt_argc, argv);

  netbuf::JournalStream journal;
  netbuf::ControlHost host(options.app_dir());
  host.configure(options);
  host.context().st.upkeep.journal = &journal;
  if (!host.hold_db()) return 1;
  const auto say = [&host](const std::string& line) {
    host.context().st.upkeep.say(netbuf::Severity::Warning, line);
  };
  host.control().set_reporter(say);
  netbuf::StopSignals stop;
  netbuf::SystemdNotify notify([&host] { return netbuf::status_text(host.context()); });
  std::unique_ptr<netbuf::WindowCompanion> companion;
  QObject::connect(&stop, &netbuf::StopSignals::stop_requested, &stop, [&host, &notify] {
    notify.stopping();
    host.shut_down();
  });
  host.start_up();
  // Nobody reads a window that opened half done: the error is reported, and
  // systemd's restart policy takes over.
  if (!host.started()) return 1;
  netbuf::write_start_line(host.context(), host.db_path());
  if (const QString path = options.control_path(); !path.isEmpty()) {
    if (const std::string why = host.control().listen(path, kOperatorGroup); !why.empty())
      say("netbuf: no control socket " + path.toStdString() + ": " + why);
  }
  notify.ready();
  if (!netbuf::headless_environment()) {
    companion = std::make_unique<netbuf::WindowCompanion>(
        host.control(), netbuf::WindowCompanion::beside_executable());
    companion->set_reporter(say);
    companion->start();
  }
  const int status = QCoreApplication::exec();
  if (companion) companion->stop();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  netbuf::HostOptions options;
  switch (netbuf::read_command_line(argc, argv, options)) {
    case netbuf::CommandLine::Done:
      return 0;
    case netbuf::CommandLine::Wrong:
      return 2;
    case netbuf::CommandLine::Run:
      break;
  }
  const int status = run(argv, options);
  // The last lines (what a stop could not store) are written before the end,
  // unless nobody reads them at all.
  netbuf::OutputQueue::drain_all(2000);
  return status;
}
