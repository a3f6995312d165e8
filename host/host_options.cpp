#include "host/host_options.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#include <iterator>
#include <string>

#include "host/version.h"

namespace netbuf {

namespace {

struct Option {
  const char* name;
  const char* value;
  const char* env;  // read when the option is not given
  const char* help;
};

const Option kOptions[] = {
    {"db", "PATH", nullptr,
     "The net.db to use; its directory holds the COMn links. Default: net.db beside the "
     "executable."},
    {"device", "PATH", "NETBUF_DEVICE",
     "The reader line's serial device, in place of what COMn stands for."},
    {"instance", "NAME", nullptr, "This line's name in the start line and the status."},
    {"allow-pc", "LIST", "NETBUF_ALLOW_PC",
     "Addresses and CIDR blocks (comma-separated, IPv4 and IPv6) that may use the PC port. "
     "Default: every address."},
    {"allow-remote", "LIST", "NETBUF_ALLOW_REMOTE", "The same for the remote-control port."},
    {"control", "PATH", nullptr,
     "The local socket operators' windows attach to. Default: control in the service's runtime "
     "directory ($RUNTIME_DIRECTORY); none outside a service."},
    {"rs485", "MODE", "NETBUF_RS485",
     "How the RS485 transceiver's direction is switched: off (the adapter does it; default), "
     "kernel (the kernel's RS485 mode, RTS on while sending), kernel-inverted (RTS off while "
     "sending), rts (netbuf raises RTS around each frame)."},
    {"rs485-delays", "BEFORE,AFTER", "NETBUF_RS485_DELAYS",
     "Milliseconds RTS is raised before a frame and held after it (kernel and rts modes). "
     "Default: 0,0."},
    {"response-timeout", "MS", "NETBUF_RESPONSE_TIMEOUT",
     "How long the line waits for a reader's answer to begin, 10 to 1000. Default: 50."},
    {"metrics", "ADDR:PORT", "NETBUF_METRICS",
     "Serve the line figures for Prometheus (GET /metrics) here, e.g. 127.0.0.1:9108 or "
     "[::]:9108. Default: no metrics port."},
    {"allow-metrics", "LIST", "NETBUF_ALLOW_METRICS",
     "The same as --allow-pc for the metrics port. Default: loopback only."},
};

// Where each option stands in kOptions.
enum OptionIndex {
  kDb,
  kDevice,
  kInstance,
  kAllowPc,
  kAllowRemote,
  kControl,
  kRs485,
  kRs485Delays,
  kResponseTimeout,
  kMetrics,
  kAllowMetrics,
  kOptionCount
};
static_assert(std::size(kOptions) == kOptionCount);

QString usage_text(const QString& description) {
  QString u = QStringLiteral(
                  "Usage: netbuf [--db PATH] [--device PATH] [--instance NAME] [--allow-pc LIST] "
                  "[--allow-remote LIST]\n              [--control PATH] [--rs485 MODE] "
                  "[--rs485-delays BEFORE,AFTER]\n              [--response-timeout MS] "
                  "[--metrics ADDR:PORT] [--allow-metrics LIST]\n              [--help] "
                  "[--version]\n\n") +
              description + QStringLiteral("\n\nOptions:\n");
  for (const Option& o : kOptions) {
    u += QStringLiteral("  --%1 %2\n      %3")
             .arg(QLatin1String(o.name), QLatin1String(o.value), QLatin1String(o.help));
    if (o.env) u += QStringLiteral(" Also read from %1.").arg(QLatin1String(o.env));
    u += QLatin1Char('\n');
  }
  u += QStringLiteral(
      "  -h, --help\n      Displays this help and exits.\n  -v, --version\n      Displays the "
      "version and exits.\n");
  return u;
}

}  // namespace

QString HostOptions::app_dir() const {
  return db.isEmpty() ? QString() : QFileInfo(db).absolutePath();
}

QString HostOptions::control_path() const {
  if (!control.isEmpty()) return control;
  // systemd's RuntimeDirectory=, the first when the unit names several.
  const QString runtime = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
  return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/control");
}

CommandLine read_command_line(int argc, char** argv, HostOptions& out) {
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Event buffer of the card-reader line; its settings and data are in net.db."));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  parser.addOption(help);
  parser.addOption(version);
  std::vector<QCommandLineOption> valued;
  for (const Option& o : kOptions) {
    valued.emplace_back(QString::fromLatin1(o.name), QString(), QString::fromLatin1(o.value));
    parser.addOption(valued.back());
  }
  const QString usage = usage_text(parser.applicationDescription());
  const auto wrong = [&usage](const QString& why) {
    std::fprintf(stderr, "netbuf: %s\n%s", qPrintable(why), qPrintable(usage));
    return CommandLine::Wrong;
  };
  if (!parser.parse(args)) return wrong(parser.errorText());
  if (!parser.positionalArguments().isEmpty())
    return wrong(QStringLiteral("Unexpected argument: ") +
                 parser.positionalArguments().constFirst());
  if (parser.isSet(help)) {
    std::fputs(qPrintable(usage), stdout);
    return CommandLine::Done;
  }
  if (parser.isSet(version)) {
    std::printf("netbuf %s\n", kVersion);
    return CommandLine::Done;
  }

  // The option, else its variable; an empty variable is as good as none, so
  // a commented-out line and an emptied one mean the same.
  const auto value = [&](int k, QString& source) -> QString {
    const Option& o = kOptions[k];
    source = QStringLiteral("--") + QLatin1String(o.name);
    if (parser.isSet(valued[k])) return parser.value(valued[k]);
    if (o.env == nullptr) return {};
    source = QLatin1String(o.env);
    return qEnvironmentVariable(o.env);
  };
  QString source;
  out.db = value(kDb, source);
  if (parser.isSet(valued[kDb]) && out.db.isEmpty())
    return wrong(QStringLiteral("--db: empty path"));
  out.device = value(kDevice, source);
  out.instance = value(kInstance, source);
  out.control = value(kControl, source);
  if (parser.isSet(valued[kControl]) && out.control.isEmpty())
    return wrong(QStringLiteral("--control: empty path"));
  if (const QString m = value(kMetrics, source); !m.isEmpty() || parser.isSet(valued[kMetrics])) {
    out.metrics = parse_listen_address(m.toStdString());
    if (!out.metrics)
      return wrong(source + QStringLiteral(": not ADDR:PORT (127.0.0.1:9108, [::1]:9108): ") + m);
  }
  for (int k : {kAllowPc, kAllowRemote, kAllowMetrics}) {
    const QString text = value(k, source);
    if (text.isEmpty() && !parser.isSet(valued[k])) continue;
    std::string error;
    auto list = AddressList::parse(text.toStdString(), error);
    if (!list)
      return wrong(source + QStringLiteral(": not an address or block: ") +
                   QString::fromStdString(error));
    (k == kAllowPc       ? out.allow_pc
     : k == kAllowRemote ? out.allow_remote
                         : out.allow_metrics) = std::move(list);
  }
  const QString mode = value(kRs485, source);
  if (!mode.isEmpty()) {
    const auto m = parse_rs485_mode(mode.toStdString());
    if (!m)
      return wrong(source + QStringLiteral(": not off, kernel, kernel-inverted or rts: ") + mode);
    out.rs485.mode = *m;
  }
  const QString delays = value(kRs485Delays, source);
  if (!delays.isEmpty() && !parse_rs485_delays(delays.toStdString(), out.rs485))
    return wrong(source + QStringLiteral(": not BEFORE,AFTER in ms (0 to 1000): ") + delays);
  const QString timeout = value(kResponseTimeout, source);
  if (!timeout.isEmpty()) {
    bool ok = false;
    const int ms = timeout.toInt(&ok);
    if (!ok || ms < 10 || ms > 1000)
      return wrong(source + QStringLiteral(": not a time-out in ms (10 to 1000): ") + timeout);
    out.response_timeout_ms = ms;
  }
  return CommandLine::Run;
}

}  // namespace netbuf
