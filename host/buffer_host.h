// The buffer: the platform behind the logic's interfaces, the context, and
// the handlers, each of which hands over to the logic at once. ControlHost
// puts the logic's views where windows attach.
#pragma once

#include <QByteArray>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <exception>
#include <memory>
#include <string>

#include "app/storage_thread.h"
#include "core/context.h"
#include "host/host_options.h"
#include "host/operator_lines.h"
#include "host/qt_clock.h"
#include "host/qt_serial_line.h"
#include "host/qt_tcp_endpoint.h"
#include "store/database.h"
#include "store/db_lock.h"

class QObject;

namespace netbuf {

class MetricsPort;

class BufferHost {
 public:
  // app_dir holds net.db and the COMn links; empty means the executable's
  // directory. owner, when given, parents the timers, sockets and the serial
  // line, so a window finds them among its children.
  BufferHost(const QString& app_dir, QObject* owner);
  virtual ~BufferHost();
  BufferHost(const BufferHost&) = delete;
  BufferHost& operator=(const BufferHost&) = delete;

  Context& context() { return *ctx_; }
  OperatorChannel& operator_channel() { return *op_; }
  QtSerialLine& serial_line() { return serial_; }
  QtTcpEndpoint& pc_port() { return pc_port_; }
  QtTcpEndpoint& remote_port() { return remote_port_; }
  QTimer& write_back_timer() { return write_back_timer_; }
  QTimer& poll_timer() { return poll_timer_; }
  QTimer& supervision_timer() { return supervision_timer_; }
  const QtClock& clock() const { return clock_; }

  // The run's options: which net.db and reader line, this line's name, who
  // may connect. Before start(); without it, net.db beside the executable,
  // COMn and everyone, as always.
  void configure(const HostOptions& options);

  // Takes net.db for this process's lifetime; false, with one line naming
  // the holder, when another netbuf has it. Before start().
  bool hold_db();

  // The start-up sequence after the caption: net.db, the tables, the
  // settings, the readers. A failure is reported and started() stays false.
  void start();
  // Start-up went through to its end.
  bool started() const { return started_; }
  QString db_path() const {
    return db_file_.isEmpty() ? app_dir_ + QStringLiteral("/net.db") : db_file_;
  }

  // The clean stop: waiting events, dirty registers and cards are stored,
  // then the loop ends, with status 1 when something could not be stored.
  // Runs once, however many ways ask for it.
  virtual void shut_down();
  bool is_shut_down() const { return shut_down_; }

  // Handlers.
  void write_back_tick();
  void poll_tick();
  void supervision_tick();
  void pc_connected(int connection);
  void pc_accepted();
  void pc_data();
  void pc_disconnected(int connection);
  void pc_error(int connection, int code);
  void remote_connected(int connection);
  void remote_data();
  void remote_disconnected(int connection);
  void remote_error(int connection, int code);
  void line_data(const QByteArray& bytes);

 protected:
  // Messages go to op instead of standard error (a window's boxes); op must
  // live as long as the host. Before attach.
  void use_operator_channel(OperatorChannel& op) { op_ = &op; }
  // Builds the context on the log and views given, which must live as long
  // as the host.
  void attach(MonitorLog& log, StatusView& status, SettingsForm& settings, LogicTimers& timers);

  // Every handler runs in here: whatever it throws goes to the operator as
  // the top-level error report, and the loop goes on. What the handler left
  // for net.db is handed to the storage path as it returns.
  template <class F>
  void dispatch(F&& handler) {
    handler_begins();
    try {
      handler();
      if (ctx_ && started_) pump();
    } catch (const std::exception& e) {
      op_->error_report(e.what());
    } catch (...) {
      report_unknown_error();
    }
  }

  // Called as each handler begins.
  virtual void handler_begins() {}

  QString app_dir_;
  bool shut_down_ = false;

 private:
  void report_unknown_error();
  void pump();

  bool started_ = false;
  QString db_file_;
  DbLock lock_;
  std::unique_ptr<BufferState> st_;
  Database db_;
  StorageThread storage_;
  QSocketNotifier stored_;
  QTimer pointer_timer_;
  QTimer line_timer_;  // the reader line's next moment (line_wake_ms)
  QtClock clock_;
  OperatorLines lines_;
  OperatorChannel* op_ = &lines_;
  QtSerialLine serial_;
  QtTcpEndpoint pc_port_;
  QtTcpEndpoint remote_port_;
  QTimer write_back_timer_;
  QTimer poll_timer_;
  QTimer supervision_timer_;
  std::unique_ptr<Context> ctx_;
  std::unique_ptr<MetricsPort> metrics_;  // only with --metrics
};

}  // namespace netbuf
