// Form1's behaviour: the handlers of its controls, each of which hands over
// to the host at once, and the face the host shows the logic's views on. The
// layout is in tform1_layout.cpp.
#include "window/tform1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QPlainTextEdit>

#include "host/captions.h"
#include "window/operator_channel.h"
#include "window/port_picker.h"
#include "window/tray_icon.h"

namespace netbuf {

namespace {

namespace cap = captions;

QString ui_text(const char* s) {
  return QString::fromUtf8(s);
}

}  // namespace

TForm1::TForm1(HostActions& host, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), host_(host) {
  build_layout();
  boxes_ = std::make_unique<QtOperatorChannel>(this, [this] { host_.box_closed(); });
  log_ =
      std::make_unique<QtMonitorLog>(memo1_, monitor_rs_, monitor_tcp_, monitor_zd_, monitor_tr_);
  views_ = std::make_unique<FormViews>(*this);
  tray_ = new TrayIcon(this, host_.headless());
  host_.attach(*this);
  TrackBar1Change();  // the figure shows the position from the start
}

TForm1::~TForm1() = default;

// --- What the host shows ------------------------------------------------------

void TForm1::show_caption(const std::string& text) {
  setWindowTitle(QString::fromStdString(text));
}

void TForm1::show_figure(StatusFigure f, const std::string& text) {
  views_->show_figure(f, text);
}

void TForm1::show_card_store_progress(int percent) {
  views_->show_card_store_progress(percent);
}

void TForm1::show_port_number(int n) {
  port_box_->select(n);
}

void TForm1::open_box(bool error, const std::string& text) {
  boxes_->open(error, text);
}

void TForm1::closing() {
  tray_->remove();
}

// --- Lifecycle -------------------------------------------------------------

void TForm1::FormCreate() {
  // A start-up that failed leaves the icon out, as it leaves the rest.
  if (host_.start_up()) host_.dispatch([this] { tray_->add(); });
}

void TForm1::FormClose() {
  host_.dispatch([this] { tray_->remove(); });
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!host_.quitting()) FormClose();
  host_.quit();
  event->accept();
}

void TForm1::CheckBox33Click() {
  if (quit_box_->isChecked()) host_.quit();
}

void TForm1::nrDeviceBox1Change(int index) {
  host_.choose_port(port_box_->number_at(index));
}

// --- Buttons and the slider ------------------------------------------------------

void TForm1::Button2Click() {
  host_.present_test_card();
}

void TForm1::Button3Click() {
  host_.dispatch([this] {
    const ReceiveState s = host_.reset_receive();
    memo2_->appendPlainText(ui_text(cap::kRxCount) + QString::number(s.rx_len));
    for (const auto& [action, pc_wait] : s.readers)
      memo2_->appendPlainText(QStringLiteral("%1.%2").arg(action).arg(pc_wait));
  });
}

void TForm1::Button4Click() {
  host_.dispatch([this] { tray_->hide_window(); });
}

void TForm1::Button5Click() {
  host_.dispatch([this] { log_->log_clear(); });
}

void TForm1::Button7Click() {
  host_.save_settings();
}

void TForm1::SpeedButton1Click() {
  host_.set_poll(true);
}

void TForm1::SpeedButton2Click() {
  host_.set_poll(false);
}

void TForm1::TrackBar1Change() {
  host_.dispatch([this] { views_->echo_poll_delay(); });
}

}  // namespace netbuf
