// SIGTERM, SIGINT and SIGHUP as a Qt signal on the GUI thread. The handler only
// writes a byte to a socket pair; the work happens in the event loop.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace netbuf {

class StopSignals : public QObject {
  Q_OBJECT

 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;

 signals:
  void stop_requested(int signal_number);

 private:
  void on_readable();
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace netbuf
