// The application title: the buffer's name, which the window program sets as
// the application's. The tray tip and the message boxes show it.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace netbuf {

inline QString application_title() {
  return QCoreApplication::applicationName();
}

}  // namespace netbuf
