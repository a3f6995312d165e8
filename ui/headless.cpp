#include "ui/headless.h"

#include <QCoreApplication>
#include <QGuiApplication>

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
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return true;
  return headless_platform(QGuiApplication::platformName());
}

}  // namespace netbuf
