// The main window Form1: three pages (Status, Ustawienia, Monitor) and the
// tray icon on top of the buffer host, and the handlers of its controls,
// which delegate to the logic at once. Layout in tform1_layout.cpp,
// behaviour in tform1.cpp.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "host/buffer_host.h"
#include "window/form_views.h"
#include "window/monitor_memo.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QToolButton;

namespace netbuf {

class PortPicker;
class QtOperatorChannel;
class TrayIcon;

class TForm1 : public QWidget, public BufferHost {
  Q_OBJECT

 public:
  // app_dir holds net.db and the COMn links; empty means the executable's
  // directory.
  explicit TForm1(const QString& app_dir = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  QtMonitorLog& monitor() { return *log_; }
  TrayIcon& tray() { return *tray_; }
  FormViews& views() { return *views_; }

  void shut_down() override;

  // Handlers.
  void FormCreate();
  void FormClose();
  void CheckBox33Click();
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
  // Layout: builds and names every control.
  void build_layout();
  void build_status_page(QWidget* page);
  void build_settings_page(QWidget* page);
  void build_monitor_page(QWidget* page);
  QLabel* add_label(QWidget* page, int no, const char* text, int x, int y, bool bold);

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

  std::unique_ptr<QtOperatorChannel> boxes_;
  std::unique_ptr<QtMonitorLog> log_;
  std::unique_ptr<FormViews> views_;
  TrayIcon* tray_ = nullptr;
};

}  // namespace netbuf
