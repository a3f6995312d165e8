// netbuf: the event buffer of the access-control installation, as one process
// with one window. Runs headless (offscreen) when there is no display.
#include <QApplication>
#include <QCommandLineParser>
#include <csignal>
#include <cstdio>

#include "app/upkeep_tick.h"
#include "ui/headless.h"
#include "ui/journal_stream.h"
#include "ui/start_line.h"
#include "ui/stop_signals.h"
#include "ui/systemd_notify.h"
#include "ui/tform1.h"
#include "ui/version.h"

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

int main(int argc, char** argv) {
  switch (read_command_line(argc, argv)) {
    case CommandLine::Done:
      return 0;
    case CommandLine::Wrong:
      return 2;
    case CommandLine::Run:
      break;
  }
  // A log pipe that closes (a pager, a dead journal reader) must not end the
  // process; the write fails and the buffer goes on.
  std::signal(SIGPIPE, SIG_IGN);

  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  // Qt's own poll loop wakes for a socket or a timer with less work than
  // glib's; the environment may still ask for glib with QT_NO_GLIB=.
  if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");

  // The buffer takes no arguments, not even Qt's own.
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  // Hidden to the tray the window is not closed; the process ends only on
  // request.
  QApplication::setQuitOnLastWindowClosed(false);

  netbuf::JournalStream journal;
  netbuf::TForm1 form;
  form.context().st.upkeep.journal = &journal;
  netbuf::StopSignals stop;
  netbuf::SystemdNotify notify([&form] { return netbuf::status_text(form.context()); });
  QObject::connect(&stop, &netbuf::StopSignals::stop_requested, &form, [&form, &notify] {
    notify.stopping();
    form.shut_down();
  });
  form.FormCreate();
  // On a server nobody reads a window that opened half done: the error is
  // reported, and systemd's restart policy takes over.
  if (!form.started() && netbuf::is_headless()) return 1;
  if (form.started()) netbuf::write_start_line(form.context(), form.db_path());
  notify.ready();
  if (!netbuf::is_headless()) form.show();  // a window nobody can see is not drawn
  return QApplication::exec();
}
