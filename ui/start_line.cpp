#include "ui/start_line.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTimeZone>

#include "app/upkeep_tick.h"
#include "core/log_texts.h"
#include "ui/version.h"

namespace netbuf {

namespace {

std::string setting(const char* key, int v) {
  return std::string(key) + "=" + std::to_string(v);
}

}  // namespace

void write_start_line(Context& ctx, const QString& db_path) {
  const Upkeep& up = ctx.st.upkeep;
  const QString real = QFileInfo(db_path).canonicalFilePath();
  std::string s = std::string("netbuf ") + kVersion + " \u00b7 net.db " +
                  (real.isEmpty() ? db_path : real).toStdString() + " \u00b7 ";
  s += setting("COM1", up.serial.wanted ? up.serial.number : 0);
  if (up.serial.wanted) s += " (" + line_name(ctx) + ")";
  s += " " + setting("DELAY1", ctx.timers.poll_interval()) + " " +
       setting("PORT_TCP", up.pc.wanted ? up.pc.number : 0) + " " +
       setting("SERVICE", up.service.wanted ? up.service.number : 0) + " " +
       setting("N_CARD", ctx.st.n_card) + " " + setting("S_CARD", ctx.st.s_card);

  const QDateTime now = QDateTime::currentDateTime();
  const int offset = now.offsetFromUtc();
  const QString sign = offset < 0 ? QStringLiteral("-") : QStringLiteral("+");
  const int a = offset < 0 ? -offset : offset;
  s += " \u00b7 time zone " + QString::fromUtf8(QTimeZone::systemTimeZoneId()).toStdString() +
       " UTC" + sign.toStdString() +
       QStringLiteral("%1:%2")
           .arg(a / 3600, 2, 10, QLatin1Char('0'))
           .arg(a % 3600 / 60, 2, 10, QLatin1Char('0'))
           .toStdString();
  ctx.st.upkeep.say(Severity::Info, s);
  if (offset != 3600 && offset != 7200)
    ctx.st.upkeep.say(Severity::Warning, texts::kTimeZoneOffset);
}

}  // namespace netbuf
