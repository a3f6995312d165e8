// Form1's behaviour: the handlers, each of which hands over to the logic at
// once, and the platform they run on. The layout is in tform1_layout.cpp.
#include "ui/tform1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QPlainTextEdit>
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
  build_layout();
  log_ =
      std::make_unique<QtMonitorLog>(memo1_, monitor_rs_, monitor_tcp_, monitor_zd_, monitor_tr_);
  views_ = std::make_unique<FormViews>(*this);
  ctx_ = std::make_unique<Context>(Context{*st_, *log_, *views_, *views_, *views_, op_, clock_,
                                           serial_, socket1_, socket2_, db_});
  tray_ = new TrayIcon(this);

  wire_platform();
  TrackBar1Change();  // the figure shows the position from the start
}

TForm1::~TForm1() {
  timer1_.stop();
  timer2_.stop();
  timer3_.stop();
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
  if (quit_box_->isChecked()) shut_down();
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
    const std::span<const uint8_t> all(p, static_cast<std::size_t>(bytes.size()));
    for (std::size_t i = 0; i < all.size(); ++i) on_serial_receive(*ctx_, all.subspan(i, 1));
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
  dispatch([this] { views_->set_poll_timer(true); });
}

void TForm1::SpeedButton2Click() {
  dispatch([this] { views_->set_poll_timer(false); });
}

void TForm1::TrackBar1Change() {
  dispatch([this] { views_->echo_poll_delay(); });
}

}  // namespace netbuf
