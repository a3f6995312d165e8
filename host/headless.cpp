#include "host/headless.h"

#include <QCoreApplication>
#include <QVariant>

namespace netbuf {

namespace {

bool headless_platform(const QString& name) {
  return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

}  // namespace

bool headless_environment() {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  // Options may follow the platform's name: "offscreen:fontengine=...".
  return headless_platform(qEnvironmentVariable("QT_QPA_PLATFORM").section(QLatin1Char(':'), 0, 0));
}

bool is_headless() {
  // Asked through the meta-object: the executable does not link the GUI
  // libraries, only the window module does.
  const QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || !app->inherits("QGuiApplication")) return true;
  return headless_platform(app->property("platformName").toString());
}

}  // namespace netbuf
