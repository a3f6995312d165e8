#include "host/qt_clock.h"

#include <QDateTime>
#include <chrono>

namespace netbuf {

LocalTime QtClock::now() const {
  const QDateTime t = QDateTime::currentDateTime();
  const QDate d = t.date();
  const QTime h = t.time();
  LocalTime out;
  out.year = d.year();
  out.month = d.month();
  out.day = d.day();
  out.hour = h.hour();
  out.minute = h.minute();
  out.second = h.second();
  out.millisecond = h.msec();
  // Qt counts Monday = 1 ... Sunday = 7; the logic counts Sunday = 1.
  out.day_of_week = d.dayOfWeek() % 7 + 1;
  return out;
}

int64_t QtClock::monotonic_ms() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace netbuf
