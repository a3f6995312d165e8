// Health for systemd (Type=notify): READY=1 once start-up is done, STATUS=
// kept current, WATCHDOG=1 from the event loop when the unit sets
// WatchdogSec=, so a loop that hangs gets the service restarted. Without
// NOTIFY_SOCKET nothing is sent. A datagram is never waited for: one that
// the socket cannot take now is kept, replaced by a newer state, and sent at
// the next chance.
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
  ~SystemdNotify() override;

  void ready();
  void stopping();

 private:
  void send_status();
  // Sends now or keeps it for later; false when it had to be kept.
  bool send(const std::string& message);
  // One attempt; true unless the socket's queue is full.
  bool send_now(const std::string& message);
  void send_kept();

  int fd_ = -1;
  std::string kept_;  // what could not go yet; the newest state wins
  std::function<std::string()> status_;
  std::string last_status_;
  bool active_ = false;
  QTimer status_timer_;
  QTimer watchdog_timer_;
};

}  // namespace netbuf
