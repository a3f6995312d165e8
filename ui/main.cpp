// netbuf: the event buffer of the access-control installation, as one process
// with one window. Runs headless (offscreen) when there is no display.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "ui/stop_signals.h"
#include "ui/tform1.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("netbuf 1.6");
      return 0;
    }
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");

  // The buffer takes no arguments, not even Qt's own.
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  // Hidden to the tray the window is not closed; the process ends only on
  // request.
  QApplication::setQuitOnLastWindowClosed(false);

  netbuf::TForm1 form;
  netbuf::StopSignals stop;
  QObject::connect(&stop, &netbuf::StopSignals::stop_requested, &form,
                   [&form] { form.shut_down(); });
  form.FormCreate();
  form.show();
  return QApplication::exec();
}
