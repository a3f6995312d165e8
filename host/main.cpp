// netbuf: the event buffer of the access-control installation, as one process
// with one window. Without a display it runs with no GUI at all: the window
// and the GUI libraries are in a module loaded only when there is one.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/upkeep_tick.h"
#include "host/headless.h"
#include "host/headless_host.h"
#include "host/journal_stream.h"
#include "host/output_queue.h"
#include "host/start_line.h"
#include "host/stop_signals.h"
#include "host/systemd_notify.h"
#include "host/version.h"
#include "host/window_host.h"
#include "host/window_module.h"

namespace {

enum class CommandLine { Run, Done, Wrong };

// Only --help and --version: configuration is net.db's. Nothing is started
// or created before the arguments are known to be right.
CommandLine read_command_line(int argc, char** argv) {
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Event buffer of the card-reader line; its settings and data are in net.db next to the "
      "executable."));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Displays this help and exits."));
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                   QStringLiteral("Displays the version and exits."));
  parser.addOption(help);
  parser.addOption(version);
  const QString usage =
      QStringLiteral("Usage: netbuf [--help] [--version]\n\n") + parser.applicationDescription() +
      QStringLiteral("\n\nOptions:\n  -h, --help     ") + help.description() +
      QStringLiteral("\n  -v, --version  ") + version.description() + QStringLiteral("\n");
  if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
    const QString why = parser.errorText().isEmpty() ? QStringLiteral("Unexpected argument: ") +
                                                           parser.positionalArguments().constFirst()
                                                     : parser.errorText();
    std::fprintf(stderr, "netbuf: %s\n%s", qPrintable(why), qPrintable(usage));
    return CommandLine::Wrong;
  }
  if (parser.isSet(help)) {
    std::fputs(qPrintable(usage), stdout);
    return CommandLine::Done;
  }
  if (parser.isSet(version)) {
    std::printf("netbuf %s\n", netbuf::kVersion);
    return CommandLine::Done;
  }
  return CommandLine::Run;
}

}  // namespace

namespace {

int run(char** argv) {
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
    windowed = std::make_unique<netbuf::WindowHost>();
    form = window->window(*windowed);
  } else {
    bare = std::make_unique<netbuf::HeadlessHost>();
  }
  netbuf::BufferHost& host = windowed ? static_cast<netbuf::BufferHost&>(*windowed) : *bare;
  host.context().st.upkeep.journal = &journal;
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
  if (form) form->show();
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  switch (read_command_line(argc, argv)) {
    case CommandLine::Done:
      return 0;
    case CommandLine::Wrong:
      return 2;
    case CommandLine::Run:
      break;
  }
  const int status = run(argv);
  // The last lines (what a stop could not store) are written before the end,
  // unless nobody reads them at all.
  netbuf::OutputQueue::instance().drain(2000);
  return status;
}
