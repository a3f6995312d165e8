#include "host/headless.h"

#include <QString>
#include <QtGlobal>

namespace netbuf {

bool headless_environment() {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  // Options may follow the platform's name: "offscreen:fontengine=...".
  const QString name = qEnvironmentVariable("QT_QPA_PLATFORM").section(QLatin1Char(':'), 0, 0);
  return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

}  // namespace netbuf
