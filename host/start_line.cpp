#include "host/start_line.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTimeZone>

#include "app/upkeep_tick.h"
#include "core/log_texts.h"
#include "host/version.h"

namespace netbuf {

namespace {

void add_setting(std::string& s, const char* key, int v) {
  s += ' ';
  s += key;
  s += '=';
  s += std::to_string(v);
}

}  // namespace

void write_start_line(Context& ctx, const QString& db_path) {
  const Upkeep& up = ctx.st.upkeep;
  const QString real = QFileInfo(db_path).canonicalFilePath();
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on
  // "literal" + a temporary string.
  std::string s = "netbuf ";
  s += kVersion;
  if (!up.instance.empty()) {
    s += " instance ";
    s += up.instance;
  }
  s += " \u00b7 net.db ";
  s += (real.isEmpty() ? db_path : real).toStdString();
  s += " \u00b7 ";
  s += "COM1=";
  s += std::to_string(up.serial.wanted ? up.serial.number : 0);
  if (up.serial.wanted) {
    s += " (";
    s += line_name(ctx);
    s += ')';
  }
  add_setting(s, "DELAY1", ctx.timers.poll_interval());
  add_setting(s, "PORT_TCP", up.pc.wanted ? up.pc.number : 0);
  add_setting(s, "SERVICE", up.service.wanted ? up.service.number : 0);
  add_setting(s, "N_CARD", ctx.st.n_card);
  add_setting(s, "S_CARD", ctx.st.s_card);

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
  if (up.pc.wanted) {
    s += " \u00b7 PC from ";
    s += up.pc_allowed.empty() ? std::string("every address") : up.pc_allowed;
  }
  if (up.service.wanted && !up.remote_allowed.empty()) {
    s += " \u00b7 remote control from ";
    s += up.remote_allowed;
  }
  ctx.st.upkeep.say(Severity::Info, s);
  // Anyone who reaches the port opens any door.
  if (up.service.wanted && up.remote_allowed.empty())
    ctx.st.upkeep.say(Severity::Warning, texts::kOpenToAll);
  if (offset != 3600 && offset != 7200)
    ctx.st.upkeep.say(Severity::Warning, texts::kTimeZoneOffset);
}

}  // namespace netbuf
