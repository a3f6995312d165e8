// The RS485 line over QSerialPort: COMn at 19200 8N1, no flow control, DTR on,
// RTS as the RS485 mode wants it (held on when the adapter switches by
// itself), received bytes handed over raw on the GUI thread. Sends never wait
// for the line.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <vector>

#include "core/platform.h"
#include "host/rs485_mode.h"
#include "host/rts_writer.h"

namespace netbuf {

class QtSerialLine : public QObject, public SerialLine {
  Q_OBJECT

 public:
  // resolution_dir holds the COMn links; empty means the executable's directory.
  explicit QtSerialLine(const QString& resolution_dir = {}, QObject* parent = nullptr);
  ~QtSerialLine() override;

  void open() override;
  bool is_open() const override;
  int port_number() const override { return number_; }
  void set_port_number(int n) override;
  void send(std::span<const uint8_t> bytes) override;
  std::string device() const override;

  QString resolution_dir() const { return dir_; }
  void set_resolution_dir(const QString& dir) { dir_ = dir; }
  // The device every COMn stands for, whatever the links say (--device);
  // empty: COMn as usual.
  void set_device(const QString& device) { fixed_device_ = device; }
  // How the transceiver's direction is switched (--rs485); from the next open.
  void set_rs485(const Rs485Setup& setup) { rs485_ = setup; }

  // COMn is the file named COMn in dir (its real target when it is a link),
  // else /dev/ttyS(n-1).
  static QString device_for(int n, const QString& dir);
  struct PortEntry {
    int number;
    QString device;
  };
  // Every COMn, 1..highest, whose device exists.
  static std::vector<PortEntry> available_ports(const QString& dir, int highest = 64);

 signals:
  void received(const QByteArray& bytes);
  void port_number_changed(int n);

 private:
  void on_ready_read();
  void on_error(QSerialPort::SerialPortError e);
  void deliver();
  void close_quietly(const QString& why);
  void close_port();

  QSerialPort port_;
  QString dir_;
  QString opened_device_;  // what COMn stood for when it was opened
  QString fixed_device_;
  int number_ = 1;
  Rs485Setup rs485_;
  RtsWriter rts_writer_;
  bool failed_ = false;  // the device went away; closing is queued
  QByteArray rx_;        // the read buffer, kept for its capacity
};

}  // namespace netbuf
