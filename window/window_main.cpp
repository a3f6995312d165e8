// netbuf-window: the operator's window of a running netbuf. netbuf starts it
// beside itself on a desktop (--fd, the end of a socket pair); an operator
// starts it to watch a running service (--connect, by default the service's
// socket). It ends when netbuf does, or when its connection goes.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

#include "window/netbuf_link.h"
#include "window/tform1.h"

namespace {

constexpr const char* kRuntimeDir = "/run/netbuf";

// The service's socket: /run/netbuf/control, or /run/netbuf/NAME/control for
// the instance netbuf@NAME.
QString default_socket(const QString& instance) {
  const QString dir = QLatin1String(kRuntimeDir);
  return instance.isEmpty() ? dir + QStringLiteral("/control")
                            : dir + QLatin1Char('/') + instance + QStringLiteral("/control");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The title its boxes and tray icon show, and its desktop class, are the
  // buffer's, as they were when the window was part of it.
  QApplication::setApplicationName(QStringLiteral("netbuf"));
  // Hidden to the tray the window is not closed; it ends only on request.
  QApplication::setQuitOnLastWindowClosed(false);

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("The operator's window of a running netbuf: status, settings, monitor."));
  parser.addHelpOption();
  const QCommandLineOption connect_to(
      QStringLiteral("connect"),
      QStringLiteral("The control socket of the netbuf to attach to. Default: %1.")
          .arg(default_socket({})),
      QStringLiteral("PATH"));
  const QCommandLineOption instance(
      QStringLiteral("instance"),
      QStringLiteral("Attach to the service netbuf@NAME (%1).").arg(default_socket("NAME")),
      QStringLiteral("NAME"));
  // Given by netbuf to the window it starts beside itself.
  QCommandLineOption fd(QStringLiteral("fd"), QString(), QStringLiteral("N"));
  fd.setFlags(QCommandLineOption::HiddenFromHelp);
  parser.addOptions({connect_to, instance, fd});
  parser.process(app);

  const bool beside = parser.isSet(fd);
  netbuf::NetbufLink link(beside);
  netbuf::TForm1 form(link);
  int status = 0;
  QObject::connect(&link, &netbuf::NetbufLink::lost, &app, [&status](const QString& why) {
    if (!why.isEmpty()) {
      std::fprintf(stderr, "netbuf-window: %s\n", qPrintable(why));
      status = 1;
    }
    QCoreApplication::exit(status);
  });
  if (beside) {
    bool ok = false;
    const int n = parser.value(fd).toInt(&ok);
    if (!ok || !link.use_descriptor(n)) {
      std::fprintf(stderr, "netbuf-window: --fd %s is not a connection\n",
                   qPrintable(parser.value(fd)));
      return 2;
    }
  } else {
    link.connect_to(parser.isSet(connect_to) ? parser.value(connect_to)
                                             : default_socket(parser.value(instance)));
  }
  // Shown once netbuf has answered, with its caption, at its place.
  QObject::connect(&link, &netbuf::NetbufLink::answered, &form, [&form] { form.show(); });
  return QApplication::exec() == 0 ? status : 1;
}
