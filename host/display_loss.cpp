#include "host/display_loss.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/buffer_host.h"

namespace netbuf {

namespace {

// Plain globals: an exit handler and Qt's message handler take no context.
BufferHost* g_host = nullptr;
QtMessageHandler g_previous = nullptr;
std::string g_broken;  // Qt's line about the broken connection, when it came

void on_qt_message(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (g_host != nullptr && msg.startsWith(QLatin1String("The X11 connection broke"))) {
    g_broken = msg.toStdString();
    return;
  }
  if (g_previous != nullptr) {
    g_previous(type, context, msg);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(msg));
  }
}

void on_exit() {
  BufferHost* host = g_host;
  if (host == nullptr || !host->started() || host->is_shut_down()) return;
  g_host = nullptr;
  const std::string why =
      g_broken.empty() ? std::string("the window's platform ended netbuf") : g_broken;
  host->context().st.upkeep.say(Severity::Error,
                                "display lost (" + why + "): storing, then exit status 1");
  // Not the window's own stop: the tray and the window are gone with the
  // display.
  host->BufferHost::shut_down();
}

}  // namespace

void store_on_display_loss(BufferHost& host) {
  g_host = &host;
  g_previous = qInstallMessageHandler(on_qt_message);
  static const bool registered = std::atexit(on_exit) == 0;
  (void)registered;
}

void forget_display_loss() {
  g_host = nullptr;
}

}  // namespace netbuf
