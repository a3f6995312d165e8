#include "host/qt_serial_line.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QtDebug>
#include <algorithm>
#include <stdexcept>
#include <string>

#include "core/log_texts.h"

namespace netbuf {

namespace {

// What may wait in Qt's buffer for a line that takes bytes slowly: a few
// frames. Beyond it a line that has stopped costs frames, not memory.
constexpr qint64 kMaxQueuedBytes = 512;

}  // namespace

QtSerialLine::QtSerialLine(const QString& resolution_dir, QObject* parent)
    : QObject(parent),
      port_(this),
      dir_(resolution_dir.isEmpty() ? QCoreApplication::applicationDirPath() : resolution_dir) {
  connect(&port_, &QSerialPort::readyRead, this, &QtSerialLine::on_ready_read);
  connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialLine::on_error);
}

QtSerialLine::~QtSerialLine() {
  port_.disconnect(this);
  close_port();
}

void QtSerialLine::close_port() {
  rts_writer_.stop();
  if (port_.isOpen()) port_.close();
}

QString QtSerialLine::device_for(int n, const QString& dir) {
  const QFileInfo link(dir + QStringLiteral("/COM") + QString::number(n));
  if (link.isSymLink() || link.exists()) {
    const QString target = link.canonicalFilePath();
    // A dangling link stays this port's name, so the open fails rather than
    // silently picking another device.
    return target.isEmpty() ? link.absoluteFilePath() : target;
  }
  return QStringLiteral("/dev/ttyS") + QString::number(n - 1);
}

std::vector<QtSerialLine::PortEntry> QtSerialLine::available_ports(const QString& dir,
                                                                   int highest) {
  std::vector<PortEntry> out;
  for (int n = 1; n <= highest; ++n) {
    const QString dev = device_for(n, dir);
    if (QFileInfo::exists(dev)) out.push_back({n, dev});
  }
  return out;
}

void QtSerialLine::open() {
  close_port();
  failed_ = false;
  opened_device_ = fixed_device_.isEmpty() ? device_for(number_, dir_) : fixed_device_;
  port_.setPortName(opened_device_);
  port_.setBaudRate(QSerialPort::Baud19200);
  port_.setDataBits(QSerialPort::Data8);
  port_.setParity(QSerialPort::NoParity);
  port_.setStopBits(QSerialPort::OneStop);
  port_.setFlowControl(QSerialPort::NoFlowControl);
  const auto open_error = [this](const std::string& reason) {
    const std::string name = "COM" + std::to_string(number_);
    return SerialOpenError(std::string(texts::kDevice) + "\"" + name + "\"" + texts::kOpenError +
                               "\r" + reason,
                           reason);
  };
  if (!port_.open(QIODevice::ReadWrite)) throw open_error(port_.errorString().toStdString());
  const int fd = port_.handle();
  const std::string refused = apply_kernel_rs485(fd, rs485_);
  if (!refused.empty()) {
    // Half a bus (frames out, no answers heard) would look like every reader
    // gone: the line is not used at all.
    port_.close();
    throw open_error(refused);
  }
  request_low_latency(fd);
  // Ptys refuse the modem lines; that is no reason to refuse the port.
  port_.setDataTerminalReady(true);
  if (rs485_.mode == Rs485Mode::Off) port_.setRequestToSend(true);
  // Bytes of an earlier run, either way, are no answers and no frames.
  port_.clear(QSerialPort::AllDirections);
  port_.clearError();
  if (rs485_.mode == Rs485Mode::Rts) rts_writer_.start(fd, rs485_);
}

std::string QtSerialLine::device() const {
  return (fixed_device_.isEmpty() ? device_for(number_, dir_) : fixed_device_).toStdString();
}

bool QtSerialLine::is_open() const {
  return port_.isOpen() && !failed_;
}

void QtSerialLine::set_port_number(int n) {
  const bool was_open = port_.isOpen();
  number_ = n;
  emit port_number_changed(n);
  if (was_open) {
    close_port();
    open();
  }
}

void QtSerialLine::send(std::span<const uint8_t> bytes) {
  if (!is_open() || bytes.empty()) return;
  if (rs485_.mode == Rs485Mode::Rts) {
    rts_writer_.send(bytes);
    return;
  }
  // With nothing of ours still queued in Qt, the frame goes straight to the
  // tty (the port is non-blocking): one write, no wait. Only what the tty does
  // not take goes Qt's way, written as the line takes it; the loop never
  // waits for it.
  if (port_.bytesToWrite() == 0) {
    const ssize_t w = ::write(port_.handle(), bytes.data(), bytes.size());
    if (w == static_cast<ssize_t>(bytes.size())) return;
    // Part of the frame is out: the rest follows, never half a frame.
    if (w > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(w));
      port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
      return;
    }
  }
  // Behind a line that has stopped taking bytes a frame is lost whole; it
  // would go out stale, long after its turn.
  if (port_.bytesToWrite() > kMaxQueuedBytes) return;
  port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

void QtSerialLine::on_ready_read() {
  deliver();
}

void QtSerialLine::deliver() {
  if (!is_open()) return;
  const qint64 n = port_.bytesAvailable();
  if (n <= 0) return;
  // The buffer is kept between reads, so an answer costs no allocation. It is
  // taken out meanwhile: a delivery nested in a receiver gets one of its own.
  QByteArray bytes;
  bytes.swap(rx_);
  bytes.resize(n);
  bytes.resize(std::max<qint64>(0, port_.read(bytes.data(), n)));
  if (!bytes.isEmpty()) emit received(bytes);
  rx_.swap(bytes);
}

void QtSerialLine::on_error(QSerialPort::SerialPortError e) {
  if (e != QSerialPort::ResourceError && e != QSerialPort::ReadError) return;
  if (failed_ || !port_.isOpen()) return;
  failed_ = true;
  // Closing from inside QSerialPort's own notification is not safe; the
  // failed flag already stops sends and deliveries.
  const QString why = e == QSerialPort::ResourceError ? QStringLiteral("device gone")
                                                      : QStringLiteral("read failed");
  QMetaObject::invokeMethod(
      this, [this, why] { close_quietly(why); }, Qt::QueuedConnection);
}

void QtSerialLine::close_quietly(const QString& why) {
  if (!failed_) return;  // reopened meanwhile
  close_port();
  failed_ = false;
  qWarning().noquote()
      << QStringLiteral("COM%1 %2 closed: %3").arg(number_).arg(opened_device_, why);
}

}  // namespace netbuf
