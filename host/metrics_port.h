// The metrics port: GET /metrics answers the line figures in the Prometheus
// text format, on the loop, from a copy of the counters. Everything else is
// refused with a short answer and closed. Bounded like the other ports: its
// own allow list and connect rate (the endpoint), a few places in all and
// per address, a request head of kMaxRequestBytes, an idle limit.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <string>

#include "core/address_list.h"
#include "core/platform.h"
#include "host/qt_tcp_endpoint.h"

namespace netbuf {

class BufferState;

class MetricsPort : public QObject {
 public:
  static constexpr int kMaxConnections = 8;
  // A scraper needs one connection at a time; one address must not take
  // every place from the others.
  static constexpr int kPlacesPerAddress = 2;
  static constexpr int64_t kIdleMs = 10000;
  // A scrape of a full line with a long instance name is some 100 KB: room
  // for it, whatever the kernel takes at once, on each of the few places.
  static constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;

  MetricsPort(BufferState& st, Clock& clock, ListenAddress at, AddressList allowed,
              std::function<void(Severity, const std::string&)> say, QObject* parent = nullptr);

  // Opens the port, and keeps trying every few seconds while it cannot be
  // opened; each change is one journal line.
  void start();
  bool is_listening() const { return endpoint_.is_listening(); }
  int port() const { return endpoint_.port(); }

 private:
  void try_open();
  void on_connect(int i);
  void on_read();
  void serve(int i);
  void close_idle();

  BufferState& st_;
  Clock& clock_;
  ListenAddress at_;
  std::function<void(Severity, const std::string&)> say_;
  QtTcpEndpoint endpoint_;
  QTimer retry_;
  QTimer idle_;
  std::string reported_;  // the last state said: "" (none yet), "open" or a failure
};

}  // namespace netbuf
