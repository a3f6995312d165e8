// Form1's behaviour: the handlers of its controls, each of which hands over
// to the logic at once. The platform's handlers are the buffer host's; the
// layout is in tform1_layout.cpp.
#include "window/tform1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QPlainTextEdit>

#include "access/card_check.h"
#include "app/settings.h"
#include "core/log_texts.h"
#include "host/captions.h"
#include "host/headless.h"
#include "host/stdout_monitor_log.h"
#include "readerbus/reader_answers.h"
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

TForm1::TForm1(const QString& app_dir, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), BufferHost(app_dir, this) {
  build_layout();
  boxes_ = std::make_unique<QtOperatorChannel>(this);
  use_operator_channel(*boxes_);
  log_ =
      std::make_unique<QtMonitorLog>(memo1_, monitor_rs_, monitor_tcp_, monitor_zd_, monitor_tr_);
  views_ = std::make_unique<FormViews>(*this);
  attach(*log_, *views_, *views_, *views_);
  tray_ = new TrayIcon(this);

  connect(&nrComm1(), &QtSerialLine::port_number_changed, port_box_, &PortPicker::select);
  TrackBar1Change();  // the figure shows the position from the start
}

TForm1::~TForm1() = default;

// --- Lifecycle -------------------------------------------------------------

void TForm1::FormCreate() {
  dispatch([this] {
    setWindowTitle(ui_text(texts::kCaption));
    // Without a window the monitor log goes to standard output; categories
    // can be ticked from the environment for diagnosis of a running service.
    log_->mirror_to_stdout(is_headless());
    log_->tick_categories(monitor_categories());
  });
  start();
  // A start-up that failed leaves the icon out, as it leaves the rest.
  if (started()) dispatch([this] { tray_->add(); });
}

void TForm1::FormClose() {
  dispatch([this] { tray_->remove(); });
}

void TForm1::shut_down() {
  tray_->remove();
  BufferHost::shut_down();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!shut_down_) FormClose();
  shut_down();
  event->accept();
}

void TForm1::CheckBox33Click() {
  if (quit_box_->isChecked()) shut_down();
}

void TForm1::nrDeviceBox1Change(int index) {
  const int n = port_box_->number_at(index);
  dispatch([this, n] { nrComm1().set_port_number(n); });
}

// --- Buttons and the slider ------------------------------------------------------

void TForm1::Button2Click() {
  dispatch([this] { check_card(context(), 1, cap::kTestCardCode); });
}

void TForm1::Button3Click() {
  dispatch([this] {
    reset_rx(context());
    memo2_->appendPlainText(ui_text(cap::kRxCount) + QString::number(context().st.rx_len));
    for (int e = 1; e <= kReaderCount; ++e) {
      const Tczytnik& r = context().st.reader(e);
      memo2_->appendPlainText(
          QStringLiteral("%1.%2").arg(unsigned{r.action}).arg(unsigned{r.pc_wait}));
    }
  });
}

void TForm1::Button4Click() {
  dispatch([this] { tray_->hide_window(); });
}

void TForm1::Button5Click() {
  dispatch([this] { log_->log_clear(); });
}

void TForm1::Button7Click() {
  dispatch([this] { save_settings(context()); });
}

void TForm1::SpeedButton1Click() {
  dispatch([this] { views_->set_poll_timer(true); });
}

void TForm1::SpeedButton2Click() {
  dispatch([this] { views_->set_poll_timer(false); });
}

void TForm1::TrackBar1Change() {
  dispatch([this] { views_->echo_poll_delay(); });
}

}  // namespace netbuf
