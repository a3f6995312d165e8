// netbuf: the event buffer of the access-control installation, as one process
// with one window. Without a display it runs with no GUI at all: the window
// and the GUI libraries are in a module loaded only when there is one.
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/upkeep_tick.h"
#include "host/display_loss.h"
#include "host/headless.h"
#include "host/headless_host.h"
#include "host/host_options.h"
#include "host/journal_stream.h"
#include "host/output_queue.h"
#include "host/start_line.h"
#include "host/stop_signals.h"
#include "host/systemd_notify.h"
#include "host/window_host.h"
#include "host/window_module.h"

namespace {

int run(char** argv, const netbuf::HostOptions& options) {
  // A log pipe that closes (a pager, a dead journal reader) must not end the
  // process; the write fails and the buffer goes on.
  std::signal(SIGPIPE, SIG_IGN);

  // On a server nothing draws: no GUI library, no platform plugin, no fonts,
  // no widgets.
  netbuf::WindowModule* window =
      netbuf::headless_environment() ? nullptr : netbuf::load_window_module();
  // Qt's own poll loop wakes for a socket or a timer with less work than
  // glib's; the environment may still ask for glib with QT_NO_GLIB=.
  if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");

  // The buffer takes no arguments, not even Qt's own.
  int qt_argc = 1;
  const std::unique_ptr<QCoreApplication> app =
      window ? window->application(qt_argc, argv)
             : std::make_unique<QCoreApplication>(qt_argc, argv);

  netbuf::JournalStream journal;
  // The executable makes the host; the window is its client and goes first.
  std::unique_ptr<netbuf::WindowHost> windowed;
  std::unique_ptr<netbuf::HeadlessHost> bare;
  std::unique_ptr<netbuf::Window> form;
  if (window) {
    windowed = std::make_unique<netbuf::WindowHost>(options.app_dir());
    form = window->window(*windowed);
  } else {
    bare = std::make_unique<netbuf::HeadlessHost>(options.app_dir());
  }
  netbuf::BufferHost& host = windowed ? static_cast<netbuf::BufferHost&>(*windowed) : *bare;
  host.configure(options);
  host.context().st.upkeep.journal = &journal;
  if (!host.hold_db()) return 1;
  netbuf::StopSignals stop;
  netbuf::SystemdNotify notify([&host] { return netbuf::status_text(host.context()); });
  QObject::connect(&stop, &netbuf::StopSignals::stop_requested, &stop, [&host, &notify] {
    notify.stopping();
    host.shut_down();
  });
  if (form) {
    form->create();
  } else {
    host.start();
  }
  // On a server nobody reads a window that opened half done: the error is
  // reported, and systemd's restart policy takes over.
  if (!host.started() && !form) return 1;
  if (host.started()) netbuf::write_start_line(host.context(), host.db_path());
  notify.ready();
  if (form) {
    netbuf::store_on_display_loss(host);
    form->show();
  }
  const int status = QCoreApplication::exec();
  netbuf::forget_display_loss();
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
  netbuf::OutputQueue::instance().drain(2000);
  return status;
}
