// What the logic needs of the platform. host/ implements these with Qt; tests
// implement them with small recording fakes.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/rate_limit.h"

namespace netbuf {

// What the logic keeps about one connection. It belongs to the connection,
// not to its position: it moves with it when older connections leave.
struct ConnectionState {
  int32_t idle_ticks = 0;  // supervision countdown; 0 = none running
  int32_t malformed = 0;   // malformed commands received so far
  // Service port: the start of a command whose "$" is still to come.
  std::string partial_command;
  int64_t partial_since_ms = 0;
  // Monotonic time of the last request served (of the accept until one is):
  // a PC that has been served nothing for a while gives way to a new one.
  int64_t last_served_ms = 0;
  TokenBucket commands;  // remote commands a second on this connection
};

// A listening TCP server with its list of connections, oldest first.
class TcpEndpoint {
 public:
  virtual ~TcpEndpoint() = default;
  // Listens on all local addresses; throws std::runtime_error on failure.
  virtual void open(int port) = 0;
  // Stops listening and closes every connection.
  virtual void close() = 0;
  virtual bool is_listening() const = 0;
  virtual int port() const = 0;
  virtual int connection_count() const = 0;
  virtual int bytes_waiting(int i) = 0;
  // Copies up to buf.size() waiting bytes into buf without waiting; returns the count.
  virtual int receive(int i, std::span<uint8_t> buf) = 0;
  // Hands the bytes to the network at once; an empty span sends nothing.
  // Returns whether the connection took them (sent, or queued to go when
  // the network takes them): not when it is gone or being closed, nor when
  // its peer has stopped reading and the connection is closed for it.
  virtual bool send(int i, std::span<const uint8_t> bytes) = 0;
  virtual std::string remote_address(int i) const = 0;
  // Closes connection i. The connection keeps its position until the current
  // handler has returned, so positions stay stable during a pass.
  virtual void close_connection(int i) = 0;
  // The logic's record of connection i; nullptr for no such connection.
  virtual ConnectionState* state(int i) = 0;
};

// The RS485 line: a serial port at 19200 8N1.
// Why COMn would not open: the whole open-error text, and the system's
// reason on its own (with its errno where one is known).
class SerialOpenError : public std::runtime_error {
 public:
  SerialOpenError(const std::string& what, std::string reason, int sys_errno = 0)
      : std::runtime_error(what), reason_(std::move(reason)), sys_errno_(sys_errno) {}
  const std::string& reason() const { return reason_; }
  int sys_errno() const { return sys_errno_; }

 private:
  std::string reason_;
  int sys_errno_;
};

class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Opens COMn; throws SerialOpenError (or another std::runtime_error) with
  // the open-error text on failure.
  virtual void open() = 0;
  virtual bool is_open() const = 0;
  virtual int port_number() const = 0;
  // Sets n; an open port is closed and opened again on the new number
  // (throws like open(), leaving the port closed).
  virtual void set_port_number(int n) = 0;
  // One blocking write; nothing when closed or empty; failures are ignored.
  virtual void send(std::span<const uint8_t> bytes) = 0;
  // The device COMn stands for (/dev/ttyUSB0 ...), for the journal.
  virtual std::string device() const { return {}; }
};

// The operator: message boxes and the top-level error report. Neither blocks
// the caller.
class OperatorChannel {
 public:
  virtual ~OperatorChannel() = default;
  virtual void message_box(const std::string& text) = 0;
  virtual void error_report(const std::string& text) = 0;
};

struct LocalTime {
  int year = 2000, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int day_of_week = 7;  // 1 = Sunday ... 7 = Saturday
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime now() const = 0;
  // Milliseconds of a clock that never jumps, for measuring intervals.
  virtual int64_t monotonic_ms() const = 0;
};

// Lines for systemd's journal (standard error), whatever the monitor shows;
// the numbers are syslog levels.
enum class Severity { Error = 3, Warning = 4, Info = 6 };

class Journal {
 public:
  virtual ~Journal() = default;
  virtual void line(Severity s, const std::string& text) = 0;
};

}  // namespace netbuf
