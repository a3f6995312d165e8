#include "ui/headless.h"

#include <QGuiApplication>

namespace netbuf {

bool is_headless() {
  const QString p = QGuiApplication::platformName();
  return p == QLatin1String("offscreen") || p == QLatin1String("minimal");
}

}  // namespace netbuf
