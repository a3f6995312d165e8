// The window beside a netbuf started on a desktop: netbuf-window, from the
// directory of netbuf's own executable, attached over one end of a socket
// pair whose other end netbuf keeps, so it needs no path and no credentials.
// When it ends without netbuf asking, it is started again, soon after a
// window that ran a while and later and later after one that keeps failing
// (a display that has gone), so a lost desktop costs netbuf a start a minute.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

namespace netbuf {

class ControlServer;

class WindowCompanion : public QObject {
  Q_OBJECT

 public:
  static constexpr int kFirstDelayMs = 1000;
  static constexpr int kLongestDelayMs = 60000;
  // A window that ran this long is started again after the first delay.
  static constexpr int kSettledMs = 60000;

  // program: the window's executable.
  WindowCompanion(ControlServer& server, QString program);
  ~WindowCompanion() override;

  // The program's path beside netbuf's executable.
  static QString beside_executable();

  void set_reporter(std::function<void(const std::string&)> say) { say_ = std::move(say); }
  // Starts the window; false (said in one line) when the program is missing.
  bool start();
  // netbuf stops: the window is not started again.
  void stop();

 private:
  void launch();
  void ended(int code, QProcess::ExitStatus status);

  ControlServer& server_;
  QString program_;
  std::unique_ptr<QProcess> process_;
  QTimer again_;
  QElapsedTimer ran_;
  int delay_ms_ = kFirstDelayMs;
  bool stopping_ = false;
  std::function<void(const std::string&)> say_;
};

}  // namespace netbuf
