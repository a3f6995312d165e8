// Form1's behaviour: the handlers of its controls, each of which hands over
// to netbuf at once, and the face netbuf shows the logic's views on. The
// layout is in tform1_layout.cpp.
#include "window/tform1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
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

// No desktop to put a tray icon on, now or later.
bool headless_platform() {
  const QString p = QGuiApplication::platformName();
  return p == QLatin1String("offscreen") || p == QLatin1String("minimal");
}

}  // namespace

TForm1::TForm1(HostActions& host, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), host_(host) {
  build_layout();
  boxes_ = std::make_unique<QtOperatorChannel>(this, [this] { host_.box_closed(); });
  log_ =
      std::make_unique<QtMonitorLog>(memo1_, monitor_rs_, monitor_tcp_, monitor_zd_, monitor_tr_);
  views_ = std::make_unique<FormViews>(*this);
  tray_ = new TrayIcon(this, headless_platform());
  host_.attach(*this);
  TrackBar1Change();  // the figure shows the position from the start
}

TForm1::~TForm1() = default;

// --- What netbuf shows -----------------------------------------------------

void TForm1::attached(const std::string& caption, bool started) {
  FormCreate(caption, started);
}

void TForm1::show_figure(StatusFigure f, const std::string& text) {
  views_->show_figure(f, text);
}

void TForm1::show_card_store_progress(int percent) {
  views_->show_card_store_progress(percent);
}

void TForm1::show_settings(const control::FormValues& form) {
  views_->show_form(form);
}

void TForm1::show_port_number(int n) {
  port_box_->select(n);
}

void TForm1::show_ports(const std::vector<PortEntry>& ports) {
  port_box_->refresh(ports, port_box_->number_at(port_box_->currentIndex()));
}

void TForm1::show_reader_table(const std::vector<control::ReaderTableRow>& rows) {
  views_->show_reader_table(rows);
}

void TForm1::show_receive_state(const ReceiveState& s) {
  memo2_->appendPlainText(ui_text(cap::kRxCount) + QString::number(s.rx_len));
  for (const auto& [action, pc_wait] : s.readers)
    memo2_->appendPlainText(QStringLiteral("%1.%2").arg(action).arg(pc_wait));
}

void TForm1::open_box(bool error, const std::string& text) {
  boxes_->open(error, text);
}

void TForm1::closing() {
  // netbuf stops: this window has nothing left to show.
  tray_->remove();
  QCoreApplication::quit();
}

// --- Lifecycle -------------------------------------------------------------

void TForm1::FormCreate(const std::string& caption, bool started) {
  setWindowTitle(QString::fromStdString(caption));
  // A start-up that failed leaves the icon out, as it leaves the rest.
  if (started) host_.dispatch([this] { tray_->add(); });
}

void TForm1::FormClose() {
  host_.dispatch([this] { tray_->remove(); });
}

void TForm1::closeEvent(QCloseEvent* event) {
  FormClose();
  host_.window_closed();
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
  // netbuf answers with the state, which show_receive_state() lists.
  host_.reset_receive();
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

void TForm1::MonitorClick() {
  // netbuf sends only the lines a window has switched on.
  control::CategoryMask mask = 0;
  for (int c = 0; c < 4; ++c)
    if (log_->enabled(static_cast<LogCategory>(c)))
      mask |= static_cast<control::CategoryMask>(1 << c);
  host_.set_categories(mask);
}

}  // namespace netbuf
