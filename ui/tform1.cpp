#include "ui/tform1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <algorithm>
#include <exception>
#include <stdexcept>

#include "access/card_check.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/upkeep_tick.h"
#include "app/write_back.h"
#include "core/log_texts.h"
#include "pclink/modbus_tcp.h"
#include "pclink/pc_endpoint.h"
#include "readerbus/poll_cycle.h"
#include "readerbus/reader_answers.h"
#include "service/remote_control.h"
#include "ui/captions.h"
#include "ui/headless.h"
#include "ui/port_picker.h"
#include "ui/tray_icon.h"

namespace netbuf {

namespace {

namespace cap = captions;

QString ui_text(const char* s) {
  return QString::fromUtf8(s);
}

// Every service connection has its own idle counter; there are 101 of them.
constexpr int kServiceMaxConnections = kServiceCounters;
// Control heights the layout was drawn with, where it gives none.
constexpr int kEditHeight = 21;
constexpr int kButtonHeight = 25;
constexpr int kPatternBox = 17;

template <class W>
W* place(W* w, const char* name, int x, int y, int width = -1, int height = -1) {
  w->setObjectName(QString::fromLatin1(name));
  const QSize hint = w->sizeHint();
  w->setGeometry(x, y, width < 0 ? hint.width() : width, height < 0 ? hint.height() : height);
  return w;
}

}  // namespace

template <class F>
void TForm1::dispatch(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    op_.error_report(e.what());
  } catch (...) {
    op_.error_report(texts::kUnknownError);
  }
}

TForm1::TForm1(const QString& app_dir, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      app_dir_(app_dir.isEmpty() ? QCoreApplication::applicationDirPath() : app_dir),
      st_(std::make_unique<BufferState>()),
      op_(this),
      serial_(app_dir_, this),
      socket1_(0, this),
      socket2_(kServiceMaxConnections, this),
      timer1_(this),
      timer2_(this),
      timer3_(this) {
  setObjectName(QStringLiteral("Form1"));
  setGeometry(226, 126, 586, 549);
  // The layout was drawn for MS Sans Serif; where it is missing, a narrow
  // sans keeps the captions within their places.
  QFont::insertSubstitutions(
      QStringLiteral("MS Sans Serif"),
      {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
       QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed")});
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(58, 58, 58));
  setPalette(pal);
  setAutoFillBackground(true);

  pager_ = place(new QTabWidget(this), "AdvOfficePager1", 0, 0, 585, 505);
  // The pages keep the ordinary light look; only the form itself is dark.
  pager_->setPalette(QApplication::palette(pager_));
  auto* status = new QWidget;
  auto* settings = new QWidget;
  auto* monitor = new QWidget;
  status->setObjectName(QStringLiteral("AdvOfficePage1"));
  settings->setObjectName(QStringLiteral("AdvOfficePage2"));
  monitor->setObjectName(QStringLiteral("AdvOfficePage3"));
  pager_->addTab(status, ui_text(cap::kPageStatus));
  pager_->addTab(settings, ui_text(cap::kPageSettings));
  pager_->addTab(monitor, ui_text(cap::kPageMonitor));
  build_status_page(status);
  build_settings_page(settings);
  build_monitor_page(monitor);
  pager_->setCurrentWidget(monitor);

  auto* quit_box = place(new QCheckBox(ui_text(cap::kCheckBox33), this), "CheckBox33", 8, 520);
  QPalette light = quit_box->palette();
  light.setColor(QPalette::WindowText, Qt::white);
  quit_box->setPalette(light);
  boxes_[33] = quit_box;
  connect(quit_box, &QCheckBox::clicked, this, &TForm1::CheckBox33Click);
  auto* hide_button =
      place(new QPushButton(ui_text(cap::kButton4), this), "Button4", 256, 512, 75, 33);
  connect(hide_button, &QPushButton::clicked, this, &TForm1::Button4Click);

  log_ =
      std::make_unique<QtMonitorLog>(memo1_, monitor_rs_, monitor_tcp_, monitor_zd_, monitor_tr_);
  ctx_ = std::make_unique<Context>(
      Context{*st_, *log_, *this, op_, clock_, serial_, socket1_, socket2_, db_});
  tray_ = new TrayIcon(this);

  build_timers();
  wire_platform();
  TrackBar1Change();  // Label17 shows the position from the start
}

TForm1::~TForm1() {
  timer1_.stop();
  timer2_.stop();
  timer3_.stop();
}

QLabel* TForm1::add_label(QWidget* page, int no, const char* text, int x, int y, bool bold) {
  auto* l = new QLabel(ui_text(text), page);
  l->setTextFormat(Qt::PlainText);  // captions may show a peer's text
  const std::string name = "Label" + std::to_string(no);
  if (bold) {
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
  }
  place(l, name.c_str(), x, y);
  labels_[no] = l;
  return l;
}

void TForm1::build_status_page(QWidget* page) {
  struct Row {
    int y, caption_no;
    const char* caption;
    int value_no;
    const char* value;
  };
  static constexpr Row rows[] = {
      {48, 1, cap::kLabel1, 5, cap::kLabel5},      {72, 2, cap::kLabel2, 6, cap::kLabel6},
      {96, 3, cap::kLabel3, 4, cap::kLabel4},      {120, 7, cap::kLabel7, 8, cap::kLabel8},
      {144, 12, cap::kLabel12, 13, cap::kLabel13}, {168, 15, cap::kLabel15, 14, cap::kLabel14},
      {192, 22, cap::kLabel22, 21, cap::kLabel21},
  };
  for (const Row& r : rows) {
    add_label(page, r.caption_no, r.caption, 24, r.y, true);
    add_label(page, r.value_no, r.value, 200, r.y, true);
  }
  add_label(page, 24, cap::kLabel24, 24, 448, false);
}

void TForm1::build_settings_page(QWidget* page) {
  add_label(page, 9, cap::kLabel9, 40, 80, false);
  port_box_ = place(new PortPicker(page), "nrDeviceBox1", 192, 72, 145, kEditHeight);
  port_box_->refresh(app_dir_, serial_.port_number());
  connect(port_box_, &PortPicker::about_to_drop_down, this,
          [this] { port_box_->refresh(serial_.resolution_dir(), serial_.port_number()); });
  connect(port_box_, &QComboBox::activated, this, &TForm1::nrDeviceBox1Change);

  add_label(page, 16, cap::kLabel16, 40, 112, false);
  edit2_ = place(new QLineEdit(ui_text(cap::kEdit2), page), "Edit2", 192, 104, 145, kEditHeight);
  add_label(page, 18, cap::kLabel18, 40, 144, false);
  edit3_ = place(new QLineEdit(ui_text(cap::kEdit3), page), "Edit3", 192, 136, 145, kEditHeight);

  add_label(page, 11, cap::kLabel11, 40, 176, false);
  trackbar_ = place(new QSlider(Qt::Horizontal, page), "TrackBar1", 184, 168, 161, 33);
  trackbar_->setRange(10, 500);
  trackbar_->setValue(30);
  trackbar_->setTickPosition(QSlider::TicksBelow);
  trackbar_->setTickInterval(20);
  connect(trackbar_, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
  add_label(page, 17, "", 344, 184, false);

  add_label(page, 19, cap::kLabel19, 40, 264, false);
  add_label(page, 20, cap::kLabel20, 40, 296, false);
  for (int n = 1; n <= 32; ++n) {
    const bool first_row = n <= 16;
    const int x = 200 + 16 * (first_row ? n - 1 : n - 17);
    const std::string name = "CheckBox" + std::to_string(n);
    boxes_[n] = place(new QCheckBox(page), name.c_str(), x, first_row ? 264 : 296, kPatternBox,
                      kPatternBox);
  }

  auto* save = place(new QPushButton(ui_text(cap::kButton7), page), "Button7", 256, 400, 75, 33);
  connect(save, &QPushButton::clicked, this, &TForm1::Button7Click);

  memo2_ = place(new QPlainTextEdit(ui_text(cap::kMemo2), page), "Memo2", 360, 344, 185, 89);
  memo2_->hide();
  auto* diag =
      place(new QPushButton(ui_text(cap::kButton3), page), "Button3", 456, 440, 75, kButtonHeight);
  diag->hide();
  connect(diag, &QPushButton::clicked, this, &TForm1::Button3Click);
}

void TForm1::build_monitor_page(QWidget* page) {
  memo1_ = place(new QPlainTextEdit(page), "Memo1", 14, 16, 563, 321);

  auto* start = place(new QToolButton(page), "SpeedButton1", 16, 352, 41, 22);
  start->setText(ui_text(cap::kSpeedButton1));
  connect(start, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);
  auto* stop = place(new QToolButton(page), "SpeedButton2", 64, 352, 41, 22);
  stop->setText(ui_text(cap::kSpeedButton2));
  connect(stop, &QToolButton::clicked, this, &TForm1::SpeedButton2Click);

  gauge_ = place(new QProgressBar(page), "Gauge1", 120, 352, 345, 17);
  gauge_->setRange(0, 100);
  gauge_->setValue(0);
  add_label(page, 10, cap::kLabel10, 208, 368, false);

  auto* clr = place(new QPushButton(ui_text(cap::kButton5), page), "Button5", 488, 344, 75, 25);
  connect(clr, &QPushButton::clicked, this, &TForm1::Button5Click);
  auto* add_event =
      place(new QPushButton(ui_text(cap::kButton2), page), "Button2", 488, 392, 75, 28);
  add_event->hide();
  connect(add_event, &QPushButton::clicked, this, &TForm1::Button2Click);

  monitor_rs_ = place(new QCheckBox(ui_text(cap::kMonitorRs), page), "monitor_rs", 16, 392);
  monitor_tcp_ = place(new QCheckBox(ui_text(cap::kMonitorTcp), page), "monitor_TCP", 16, 416);
  monitor_zd_ = place(new QCheckBox(ui_text(cap::kMonitorZd), page), "monitor_zd", 16, 440);
  monitor_tr_ = place(new QCheckBox(ui_text(cap::kMonitorTr), page), "monitor_tr", 200, 392);
}

void TForm1::build_timers() {
  timer1_.setObjectName(QStringLiteral("Timer1"));
  timer2_.setObjectName(QStringLiteral("Timer2"));
  timer3_.setObjectName(QStringLiteral("Timer3"));
  timer1_.setInterval(3000);
  timer2_.setInterval(300);
  timer3_.setInterval(1000);
  connect(&timer1_, &QTimer::timeout, this, &TForm1::Timer1Timer);
  connect(&timer2_, &QTimer::timeout, this, &TForm1::Timer2Timer);
  connect(&timer3_, &QTimer::timeout, this, &TForm1::Timer3Timer);
  timer1_.start();
}

void TForm1::wire_platform() {
  socket1_.setObjectName(QStringLiteral("ServerSocket1"));
  socket2_.setObjectName(QStringLiteral("ServerSocket2"));
  serial_.setObjectName(QStringLiteral("nrComm1"));
  connect(&socket1_, &QtTcpEndpoint::client_connect, this, &TForm1::ServerSocket1ClientConnect);
  connect(&socket1_, &QtTcpEndpoint::client_accept, this, &TForm1::ServerSocket1ClientAccept);
  connect(&socket1_, &QtTcpEndpoint::client_read, this, &TForm1::ServerSocket1ClientRead);
  connect(&socket1_, &QtTcpEndpoint::client_disconnect, this,
          &TForm1::ServerSocket1ClientDisconnect);
  connect(&socket1_, &QtTcpEndpoint::client_error, this, &TForm1::ServerSocket1ClientError);
  connect(&socket2_, &QtTcpEndpoint::client_connect, this, &TForm1::ServerSocket2ClientConnect);
  connect(&socket2_, &QtTcpEndpoint::client_read, this, &TForm1::ServerSocket2ClientRead);
  connect(&socket2_, &QtTcpEndpoint::client_disconnect, this,
          &TForm1::ServerSocket2ClientDisconnect);
  connect(&socket2_, &QtTcpEndpoint::client_error, this, &TForm1::ServerSocket2ClientError);
  connect(&serial_, &QtSerialLine::received, this, &TForm1::nrComm1AfterReceive);
  connect(&serial_, &QtSerialLine::port_number_changed, port_box_, &PortPicker::select);
}

// --- Lifecycle -------------------------------------------------------------

void TForm1::FormCreate() {
  dispatch([this] {
    setWindowTitle(ui_text(texts::kCaption));
    // Without a window the monitor log goes to standard output; categories
    // can be ticked from the environment for diagnosis of a running service.
    log_->mirror_to_stdout(is_headless());
    log_->tick_categories(qEnvironmentVariable("NETBUF_MONITOR").toStdString());
    const std::string db = db_path().toStdString();
    try {
      start_up(*ctx_, db);
    } catch (const std::exception& e) {
      // On a server this one line is all the installer gets: it names the file.
      const std::string what = e.what();
      if (!is_headless() || what.find(db) != std::string::npos) throw;
      throw std::runtime_error(db + ": " + what);
    }
    started_ = true;
    // A start-up that failed above leaves the icon out, as it leaves the rest.
    tray_->add();
  });
}

void TForm1::FormClose() {
  dispatch([this] { tray_->remove(); });
}

void TForm1::shut_down() {
  if (shut_down_) return;
  shut_down_ = true;
  dispatch([this] { store_everything(*ctx_); });
  const std::string left = unstored(*ctx_);
  if (!left.empty()) st_->upkeep.say(Severity::Error, texts::kNotStored + left);
  tray_->remove();
  QCoreApplication::exit(left.empty() ? 0 : 1);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!shut_down_) FormClose();
  shut_down();
  event->accept();
}

void TForm1::CheckBox33Click() {
  if (boxes_[33]->isChecked()) shut_down();
}

// --- Timers ----------------------------------------------------------------

void TForm1::Timer1Timer() {
  dispatch([this] { on_write_back_tick(*ctx_); });
}

void TForm1::Timer2Timer() {
  dispatch([this] { on_poll_tick(*ctx_); });
}

void TForm1::Timer3Timer() {
  dispatch([this] { on_pc_supervision_tick(*ctx_); });
}

// --- Sockets and the serial line ---------------------------------------------

void TForm1::ServerSocket1ClientConnect(int connection) {
  dispatch([this, connection] { on_pc_connect(*ctx_, connection); });
}

void TForm1::ServerSocket1ClientAccept() {
  dispatch([this] { on_pc_accept(*ctx_); });
}

void TForm1::ServerSocket1ClientRead() {
  dispatch([this] { on_pc_data(*ctx_); });
}

void TForm1::ServerSocket1ClientDisconnect(int connection) {
  dispatch([this, connection] { on_pc_disconnect(*ctx_, connection); });
}

void TForm1::ServerSocket1ClientError(int /*connection*/, int code) {
  dispatch([this, code] { on_pc_error(*ctx_, code); });
  // The handler leaves the error standing; the operator sees it reported.
  op_.error_report(texts::kAsyncSocketError + std::to_string(code));
}

void TForm1::ServerSocket2ClientConnect(int connection) {
  dispatch([this, connection] { on_service_connect(*ctx_, connection); });
}

void TForm1::ServerSocket2ClientRead() {
  dispatch([this] { on_service_read(*ctx_); });
}

void TForm1::ServerSocket2ClientDisconnect(int connection) {
  dispatch([this, connection] { on_service_disconnect(*ctx_, connection); });
}

void TForm1::ServerSocket2ClientError(int /*connection*/, int code) {
  // The service port has no error handler of its own.
  op_.error_report(texts::kAsyncSocketError + std::to_string(code));
}

void TForm1::nrComm1AfterReceive(const QByteArray& bytes) {
  dispatch([this, &bytes] {
    // Byte by byte, so each answer is taken as soon as its last byte is in.
    // Answers that reach us together (a loop busy with the PC, a USB
    // adapter's latency timer) would otherwise overflow the 20-byte
    // accumulator and be dropped, and a relay would be fired twice.
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size(); ++i) on_serial_receive(*ctx_, p + i, 1);
  });
}

void TForm1::nrDeviceBox1Change(int index) {
  const int n = port_box_->number_at(index);
  dispatch([this, n] { serial_.set_port_number(n); });
}

// --- Buttons and the slider ------------------------------------------------------

void TForm1::Button2Click() {
  dispatch([this] { check_card(*ctx_, 1, cap::kTestCardCode); });
}

void TForm1::Button3Click() {
  dispatch([this] {
    reset_rx(*ctx_);
    memo2_->appendPlainText(ui_text(cap::kRxCount) + QString::number(st_->rx_len));
    for (int e = 1; e <= kReaderCount; ++e) {
      const Tczytnik& r = st_->reader(e);
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
  dispatch([this] { save_settings(*ctx_); });
}

void TForm1::SpeedButton1Click() {
  dispatch([this] { set_poll_timer(true); });
}

void TForm1::SpeedButton2Click() {
  dispatch([this] { set_poll_timer(false); });
}

void TForm1::TrackBar1Change() {
  dispatch([this] { set_label(17, std::to_string(trackbar_->value())); });
}

// --- FormControls -------------------------------------------------------------

void TForm1::set_label(int label_no, const std::string& text) {
  const auto it = labels_.find(label_no);
  if (it == labels_.end()) return;
  it->second->setText(QString::fromStdString(text));
  it->second->adjustSize();  // labels size themselves to their text
}

bool TForm1::check(int box_no) const {
  const auto it = boxes_.find(box_no);
  return it != boxes_.end() && it->second->isChecked();
}

void TForm1::set_check(int box_no, bool checked) {
  const auto it = boxes_.find(box_no);
  if (it != boxes_.end()) it->second->setChecked(checked);
}

int TForm1::trackbar() const {
  return trackbar_->value();
}

void TForm1::set_trackbar(int pos) {
  trackbar_->setValue(pos);
}

std::string TForm1::edit(int edit_no) const {
  if (edit_no == 2) return edit2_->text().toStdString();
  if (edit_no == 3) return edit3_->text().toStdString();
  return {};
}

void TForm1::set_edit(int edit_no, const std::string& text) {
  if (edit_no == 2) edit2_->setText(QString::fromStdString(text));
  if (edit_no == 3) edit3_->setText(QString::fromStdString(text));
}

void TForm1::set_gauge(int percent) {
  gauge_->setValue(std::clamp(percent, 0, 100));
}

// A timer switched on while running, or given the interval it already has,
// keeps its phase.
void TForm1::set_poll_timer(bool enabled) {
  if (enabled && !timer2_.isActive()) timer2_.start();
  if (!enabled) timer2_.stop();
}

bool TForm1::poll_timer() const {
  return timer2_.isActive();
}

void TForm1::set_poll_interval(int ms) {
  if (ms != timer2_.interval()) timer2_.setInterval(ms);
}

int TForm1::poll_interval() const {
  return timer2_.interval();
}

void TForm1::set_supervision_timer(bool enabled) {
  if (enabled && !timer3_.isActive()) timer3_.start();
  if (!enabled) timer3_.stop();
}

bool TForm1::supervision_timer() const {
  return timer3_.isActive();
}

}  // namespace netbuf
