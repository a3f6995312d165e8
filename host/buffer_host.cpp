#include "host/buffer_host.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <span>
#include <stdexcept>

#include "access/card_check.h"
#include "app/startup.h"
#include "app/storage_feed.h"
#include "app/upkeep_tick.h"
#include "app/write_back.h"
#include "core/log_texts.h"
#include "host/metrics_port.h"
#include "pclink/modbus_tcp.h"
#include "pclink/pc_endpoint.h"
#include "readerbus/line_turn.h"
#include "readerbus/poll_cycle.h"
#include "readerbus/reader_answers.h"
#include "service/remote_control.h"

namespace netbuf {

namespace {

// Every service connection has its own idle counter; there are 101 of them.
constexpr int kServiceMaxConnections = kServiceCounters;

}  // namespace

BufferHost::BufferHost(const QString& app_dir, QObject* owner)
    : app_dir_(app_dir.isEmpty() ? QCoreApplication::applicationDirPath() : app_dir),
      st_(std::make_unique<BufferState>()),
      stored_(storage_.notify_fd(), QSocketNotifier::Read),
      serial_(app_dir_, owner),
      pc_port_(kPcPlaces, kPcPlacesPerAddress, owner),
      remote_port_(kServiceMaxConnections, kServicePlacesPerAddress, owner),
      write_back_timer_(owner),
      poll_timer_(owner),
      supervision_timer_(owner) {
  pc_port_.setObjectName(QStringLiteral("ServerSocket1"));
  remote_port_.setObjectName(QStringLiteral("ServerSocket2"));
  serial_.setObjectName(QStringLiteral("nrComm1"));
  QObject::connect(&pc_port_, &QtTcpEndpoint::client_connect, &pc_port_,
                   [this](int c) { pc_connected(c); });
  QObject::connect(&pc_port_, &QtTcpEndpoint::client_accept, &pc_port_,
                   [this] { pc_accepted(); });
  QObject::connect(&pc_port_, &QtTcpEndpoint::client_read, &pc_port_,
                   [this] { pc_data(); });
  QObject::connect(&pc_port_, &QtTcpEndpoint::client_disconnect, &pc_port_,
                   [this](int c) { pc_disconnected(c); });
  QObject::connect(&pc_port_, &QtTcpEndpoint::client_error, &pc_port_,
                   [this](int c, int code) { pc_error(c, code); });
  QObject::connect(&remote_port_, &QtTcpEndpoint::client_connect, &remote_port_,
                   [this](int c) { remote_connected(c); });
  QObject::connect(&remote_port_, &QtTcpEndpoint::client_read, &remote_port_,
                   [this] { remote_data(); });
  QObject::connect(&remote_port_, &QtTcpEndpoint::client_disconnect, &remote_port_,
                   [this](int c) { remote_disconnected(c); });
  QObject::connect(&remote_port_, &QtTcpEndpoint::client_error, &remote_port_,
                   [this](int c, int code) { remote_error(c, code); });
  QObject::connect(&serial_, &QtSerialLine::received, &serial_,
                   [this](const QByteArray& bytes) { line_data(bytes); });
  // A commit ended: its result is taken and what waited meanwhile goes next.
  pointer_timer_.setSingleShot(true);
  QObject::connect(&pointer_timer_, &QTimer::timeout, &pointer_timer_, [this] { dispatch([] {}); });
  // The line is free again, or an answer's time is up: to the millisecond,
  // since a door waits on it.
  line_timer_.setSingleShot(true);
  line_timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&line_timer_, &QTimer::timeout, &line_timer_,
                   [this] { dispatch([this] { on_line_moment(*ctx_); }); });
  QObject::connect(&stored_, &QSocketNotifier::activated, &stored_, [this] {
    storage_.acknowledge();
    dispatch([] {});
  });

  write_back_timer_.setObjectName(QStringLiteral("Timer1"));
  poll_timer_.setObjectName(QStringLiteral("Timer2"));
  supervision_timer_.setObjectName(QStringLiteral("Timer3"));
  write_back_timer_.setInterval(3000);
  poll_timer_.setInterval(300);
  supervision_timer_.setInterval(1000);
  QObject::connect(&write_back_timer_, &QTimer::timeout, &write_back_timer_, [this] { write_back_tick(); });
  QObject::connect(&poll_timer_, &QTimer::timeout, &poll_timer_, [this] { poll_tick(); });
  QObject::connect(&supervision_timer_, &QTimer::timeout, &supervision_timer_, [this] { supervision_tick(); });
  write_back_timer_.start();
}

BufferHost::~BufferHost() {
  write_back_timer_.stop();
  poll_timer_.stop();
  supervision_timer_.stop();
}

void BufferHost::attach(MonitorLog& log, StatusView& status, SettingsForm& settings,
                        LogicTimers& timers) {
  ctx_ = std::make_unique<Context>(Context{*st_, log, status, settings, timers, *op_, clock_,
                                           serial_, pc_port_, remote_port_, db_, storage_});
}

void BufferHost::configure(const HostOptions& options) {
  if (!options.db.isEmpty()) {
    const QFileInfo db(options.db);
    db_file_ = db.absoluteFilePath();
    app_dir_ = db.absolutePath();
    serial_.set_resolution_dir(app_dir_);
  }
  serial_.set_device(options.device);
  serial_.set_rs485(options.rs485);
  st_->line.response_timeout_ms = options.response_timeout_ms;
  Upkeep& up = st_->upkeep;
  up.instance = options.instance.toStdString();
  if (options.allow_pc) up.pc_allowed = options.allow_pc->text();
  if (options.allow_remote) up.remote_allowed = options.allow_remote->text();
  pc_port_.set_allowed(options.allow_pc, "--allow-pc");
  remote_port_.set_allowed(options.allow_remote, "--allow-remote");
  const auto say = [this](const std::string& line) { st_->upkeep.say(Severity::Warning, line); };
  pc_port_.set_reporter(say);
  remote_port_.set_reporter(say);
  pc_port_.set_figures(&st_->figures, FigurePort::Pc);
  remote_port_.set_figures(&st_->figures, FigurePort::Remote);
  if (options.metrics) {
    std::string unused;
    // Figures tell a stranger how the site is wired: without a list, only
    // this machine may read them.
    AddressList allowed = options.allow_metrics ? *options.allow_metrics
                                                : *AddressList::parse("127.0.0.0/8,::1", unused);
    metrics_ = std::make_unique<MetricsPort>(
        *st_, clock_, *options.metrics, std::move(allowed),
        [this](Severity s, const std::string& line) { st_->upkeep.say(s, line); });
  }
}

void BufferHost::report_unknown_error() {
  op_->error_report(texts::kUnknownError);
}

void BufferHost::pump() {
  pump_storage(*ctx_);
  // Every handler may have freed the line or given it work: its next moment
  // is looked at after each one.
  if (const int64_t at = line_wake_ms(*ctx_); at >= 0) {
    // At least a millisecond: a moment that finds nothing to do must not
    // spin the loop.
    const int ms = static_cast<int>(std::clamp<int64_t>(at - clock_.monotonic_ms(), 1, 1000));
    if (!line_timer_.isActive() || line_timer_.remainingTime() > ms) line_timer_.start(ms);
  }
  // A moved read pointer waiting for its turn gets a wake-up of its own, so
  // it is stored even when nothing else happens.
  const int64_t due = st_->upkeep.pointer_due_ms;
  if (due >= 0 && !pointer_timer_.isActive())
    pointer_timer_.start(
        static_cast<int>(std::clamp<int64_t>(due - clock_.monotonic_ms(), 0, 1000)));
}

// --- Lifecycle -------------------------------------------------------------

bool BufferHost::hold_db() {
  const std::string db = db_path().toStdString();
  try {
    if (lock_.take(db) != DbLock::Outcome::Held) return true;
  } catch (const std::exception& e) {
    // No lock to be had at all: the start-up that follows says why the file
    // cannot be used.
    st_->upkeep.say(Severity::Warning, e.what());
    return true;
  }
  const long pid = lock_.holder();
  st_->upkeep.say(
      Severity::Error,
      db + (pid > 0 ? texts::kDbHeld1 + std::to_string(pid) : std::string(texts::kDbHeldUnknown)) +
          texts::kDbHeld2);
  return false;
}

void BufferHost::start() {
  dispatch([this] {
    const std::string db = db_path().toStdString();
    storage_.set_path(db);
    try {
      start_up(*ctx_, db);
    } catch (const std::exception& e) {
      // This one line may be all the installer gets: it names the file.
      const std::string what = e.what();
      if (what.find(db) != std::string::npos) throw;
      throw std::runtime_error(db + ": " + what);
    }
    started_ = true;
  });
  if (started_ && metrics_) metrics_->start();
}

void BufferHost::shut_down() {
  if (shut_down_) return;
  shut_down_ = true;
  // The one place the loop waits for the disk: everything waiting is stored
  // before the process ends.
  if (started_) dispatch([this] { store_everything(*ctx_); });
  const std::string left = unstored(*ctx_);
  if (!left.empty()) st_->upkeep.say(Severity::Error, texts::kNotStored + left);
  // The file goes back to its own journal mode once nothing else of netbuf
  // holds it.
  db_.close();
  if (const std::string why = storage_.finish(); !why.empty())
    st_->upkeep.say(Severity::Warning, db_path().toStdString() + texts::kJournalModeKept + why);
  QCoreApplication::exit(left.empty() ? 0 : 1);
}

// --- Timers ----------------------------------------------------------------

void BufferHost::write_back_tick() {
  dispatch([this] { on_write_back_tick(*ctx_); });
}

void BufferHost::poll_tick() {
  dispatch([this] { on_poll_tick(*ctx_); });
}

void BufferHost::supervision_tick() {
  dispatch([this] { on_pc_supervision_tick(*ctx_); });
}

// --- Sockets and the serial line ---------------------------------------------

void BufferHost::pc_connected(int connection) {
  dispatch([this, connection] { on_pc_connect(*ctx_, connection); });
}

void BufferHost::pc_accepted() {
  dispatch([this] { on_pc_accept(*ctx_); });
}

void BufferHost::pc_data() {
  dispatch([this] { on_pc_data(*ctx_); });
}

void BufferHost::pc_disconnected(int connection) {
  dispatch([this, connection] { on_pc_disconnect(*ctx_, connection); });
}

void BufferHost::pc_error(int /*connection*/, int code) {
  dispatch([this, code] { on_pc_error(*ctx_, code); });
  // The handler leaves the error standing; the operator sees it reported.
  op_->error_report(texts::kAsyncSocketError + std::to_string(code));
}

void BufferHost::remote_connected(int connection) {
  dispatch([this, connection] { on_service_connect(*ctx_, connection); });
}

void BufferHost::remote_data() {
  dispatch([this] { on_service_read(*ctx_); });
}

void BufferHost::remote_disconnected(int connection) {
  dispatch([this, connection] { on_service_disconnect(*ctx_, connection); });
}

void BufferHost::remote_error(int /*connection*/, int code) {
  // The service port has no error handler of its own.
  op_->error_report(texts::kAsyncSocketError + std::to_string(code));
}

void BufferHost::line_data(const QByteArray& bytes) {
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

}  // namespace netbuf
