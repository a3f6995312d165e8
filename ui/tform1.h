// The main window Form1: three pages (Status, Ustawienia, Monitor), the
// platform behind the logic's interfaces, and the handlers, which delegate to
// the logic at once. Layout in tform1_layout.cpp, behaviour in tform1.cpp.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "core/context.h"
#include "store/database.h"
#include "ui/form_views.h"
#include "ui/monitor_memo.h"
#include "ui/operator_channel.h"
#include "ui/qt_clock.h"
#include "ui/qt_serial_line.h"
#include "ui/qt_tcp_endpoint.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QToolButton;

namespace netbuf {

class PortPicker;
class TrayIcon;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // app_dir holds net.db and the COMn links; empty means the executable's
  // directory.
  explicit TForm1(const QString& app_dir = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  Context& context() { return *ctx_; }
  QtMonitorLog& monitor() { return *log_; }
  QtOperatorChannel& operator_channel() { return op_; }
  QtSerialLine& nrComm1() { return serial_; }
  QtTcpEndpoint& ServerSocket1() { return socket1_; }
  QtTcpEndpoint& ServerSocket2() { return socket2_; }
  TrayIcon& tray() { return *tray_; }
  FormViews& views() { return *views_; }

  // The clean stop: waiting events, dirty registers and cards are stored,
  // then the loop ends, with status 1 when something could not be stored.
  // Runs once, however many ways ask for it.
  void shut_down();
  // Start-up went through to its end.
  bool started() const { return started_; }
  QString db_path() const { return app_dir_ + QStringLiteral("/net.db"); }

  // Handlers.
  void FormCreate();
  void FormClose();
  void CheckBox33Click();
  void Timer1Timer();
  void Timer2Timer();
  void Timer3Timer();
  void ServerSocket1ClientConnect(int connection);
  void ServerSocket1ClientAccept();
  void ServerSocket1ClientRead();
  void ServerSocket1ClientDisconnect(int connection);
  void ServerSocket1ClientError(int connection, int code);
  void ServerSocket2ClientConnect(int connection);
  void ServerSocket2ClientRead();
  void ServerSocket2ClientDisconnect(int connection);
  void ServerSocket2ClientError(int connection, int code);
  void nrComm1AfterReceive(const QByteArray& bytes);
  void nrDeviceBox1Change(int index);
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button7Click();
  void SpeedButton1Click();
  void SpeedButton2Click();
  void TrackBar1Change();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Every handler runs in here: whatever it throws goes to the operator as
  // the top-level error report, and the loop goes on.
  template <class F>
  void dispatch(F&& handler);

  // Layout: builds and names every control.
  void build_layout();
  void build_status_page(QWidget* page);
  void build_settings_page(QWidget* page);
  void build_monitor_page(QWidget* page);
  void build_timers();
  void wire_platform();
  QLabel* add_label(QWidget* page, int no, const char* text, int x, int y, bool bold);

  QString app_dir_;
  bool shut_down_ = false;
  bool started_ = false;

  // Platform behind the logic's interfaces.
  std::unique_ptr<BufferState> st_;
  Database db_;
  QtClock clock_;
  QtOperatorChannel op_;
  QtSerialLine serial_;
  QtTcpEndpoint socket1_;
  QtTcpEndpoint socket2_;
  QTimer timer1_;
  QTimer timer2_;
  QTimer timer3_;

  // Controls, owned by their pages.
  QTabWidget* pager_ = nullptr;
  QCheckBox* quit_box_ = nullptr;  // CheckBox33
  PortPicker* port_box_ = nullptr;
  QPlainTextEdit* memo1_ = nullptr;
  QPlainTextEdit* memo2_ = nullptr;
  QCheckBox* monitor_rs_ = nullptr;
  QCheckBox* monitor_tcp_ = nullptr;
  QCheckBox* monitor_zd_ = nullptr;
  QCheckBox* monitor_tr_ = nullptr;

  std::unique_ptr<QtMonitorLog> log_;
  std::unique_ptr<FormViews> views_;
  std::unique_ptr<Context> ctx_;
  TrayIcon* tray_ = nullptr;
};

}  // namespace netbuf
