#include "ui/qt_clock.h"

#include <QDateTime>

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

}  // namespace netbuf
