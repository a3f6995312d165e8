// Health for systemd (Type=notify): READY=1 once start-up is done, STATUS=
// kept current, WATCHDOG=1 from the event loop when the unit sets
// WatchdogSec=, so a loop that hangs gets the service restarted. Without
// NOTIFY_SOCKET nothing is sent.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

namespace netbuf {

class SystemdNotify : public QObject {
  Q_OBJECT

 public:
  explicit SystemdNotify(std::function<std::string()> status, QObject* parent = nullptr);

  void ready();
  void stopping();

 private:
  void send_status();

  std::function<std::string()> status_;
  std::string last_status_;
  bool active_ = false;
  QTimer status_timer_;
  QTimer watchdog_timer_;
};

}  // namespace netbuf
