// Helpers shared by the UI tests: running the event loop until something has
// happened, within a bound.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace netbuf::testing {

// Processes events until done() holds or timeout_ms has passed.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 3000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeout_ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(1);
  }
  return true;
}

// Processes events for a while, for checks that something does not happen.
inline void spin(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
}

}  // namespace netbuf::testing
