// The main window Form1: three pages (Status, Ustawienia, Monitor) and the
// tray icon, and the handlers of its controls, which hand over to netbuf at
// once. It shows what netbuf sends its face and asks netbuf for nothing but
// the operator's actions. Layout in tform1_layout.cpp, behaviour in
// tform1.cpp.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "window/form_views.h"
#include "window/monitor_memo.h"
#include "window/window_face.h"

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

class TForm1 : public QWidget, public WindowFace {
  Q_OBJECT

 public:
  // Hands host the face at once; host must outlive the form.
  explicit TForm1(HostActions& host, QWidget* parent = nullptr);
  ~TForm1() override;

  QtMonitorLog& monitor() { return *log_; }
  TrayIcon& tray() { return *tray_; }
  FormViews& views() { return *views_; }
  QtOperatorChannel& boxes() { return *boxes_; }

  // WindowFace.
  SettingsForm& settings() override { return *views_; }
  MonitorMemo& memo() override { return *log_; }
  void attached(const std::string& caption, bool started) override;
  void show_figure(StatusFigure f, const std::string& text) override;
  void show_card_store_progress(int percent) override;
  void show_settings(const control::FormValues& form) override;
  void show_port_number(int n) override;
  void show_ports(const std::vector<PortEntry>& ports) override;
  void show_receive_state(const ReceiveState& s) override;
  void show_reader_table(const std::vector<control::ReaderTableRow>& rows) override;
  void open_box(bool error, const std::string& text) override;
  void closing() override;

  // Handlers. FormCreate runs as netbuf answers: caption and tray icon.
  void FormCreate(const std::string& caption, bool started);
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
  void MonitorClick();  // one of the four category switches

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Layout: builds and names every control.
  void build_layout();
  void build_status_page(QWidget* page);
  void build_settings_page(QWidget* page);
  void build_monitor_page(QWidget* page);
  QLabel* add_label(QWidget* page, int no, const char* text, int x, int y, bool bold);

  HostActions& host_;

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
