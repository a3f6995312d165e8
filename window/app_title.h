// The application title: the executable's file name without directory and
// extension. The tray tip and the message boxes show it.
#pragma once

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

namespace netbuf {

inline QString application_title() {
  return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

}  // namespace netbuf
