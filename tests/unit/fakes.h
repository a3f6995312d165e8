// Small recording fakes of the platform interfaces for unit tests.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/context.h"

namespace netbuf::testing {

class FakeLog : public MonitorLog {
 public:
  bool on[4] = {true, true, true, true};
  std::vector<std::string> lines;
  bool enabled(LogCategory c) const override { return on[static_cast<int>(c)]; }
  void log_line(const std::string& t) override { lines.push_back(t); }
  void log_append(const std::string& t) override {
    if (lines.empty()) lines.emplace_back();
    lines.back() += t;
  }
  void log_clear() override { lines.clear(); }
  void log_limit() override {
    if (lines.size() > 200) lines.clear();
  }
  void all(bool v) {
    for (bool& b : on) b = v;
  }
};

class FakeForm : public FormControls {
 public:
  std::map<int, std::string> labels;
  std::map<int, bool> checks;
  int track = 30;
  std::map<int, std::string> edits{{2, "502"}, {3, "1060"}};
  int gauge = 0;
  bool poll_on = false;
  int poll_ms = 300;
  bool super_on = false;
  void set_label(int n, const std::string& t) override { labels[n] = t; }
  bool check(int n) const override {
    auto it = checks.find(n);
    return it != checks.end() && it->second;
  }
  void set_check(int n, bool c) override { checks[n] = c; }
  int trackbar() const override { return track; }
  void set_trackbar(int p) override { track = p < 10 ? 10 : (p > 500 ? 500 : p); }
  std::string edit(int n) const override {
    auto it = edits.find(n);
    return it == edits.end() ? std::string() : it->second;
  }
  void set_edit(int n, const std::string& t) override { edits[n] = t; }
  void set_gauge(int p) override { gauge = p; }
  void set_poll_timer(bool e) override { poll_on = e; }
  bool poll_timer() const override { return poll_on; }
  void set_poll_interval(int ms) override { poll_ms = ms; }
  int poll_interval() const override { return poll_ms; }
  void set_supervision_timer(bool e) override { super_on = e; }
  bool supervision_timer() const override { return super_on; }
};

class FakeOperator : public OperatorChannel {
 public:
  std::vector<std::string> boxes, errors;
  void message_box(const std::string& t) override { boxes.push_back(t); }
  void error_report(const std::string& t) override { errors.push_back(t); }
};

class FakeClock : public Clock {
 public:
  LocalTime t;
  int64_t mono = 0;
  LocalTime now() const override { return t; }
  int64_t monotonic_ms() const override { return mono; }
};

class FakeSerial : public SerialLine {
 public:
  bool opened = false;
  bool fail_open = false;
  int number = 1;
  std::vector<std::vector<uint8_t>> sent;  // one entry per write
  void open() override {
    if (fail_open) throw std::runtime_error("open failed");
    opened = true;
  }
  bool is_open() const override { return opened; }
  int port_number() const override { return number; }
  void set_port_number(int n) override {
    number = n;
    if (opened) {
      opened = false;
      open();
    }
  }
  void send(const uint8_t* b, int n) override {
    if (!opened || n <= 0) return;
    sent.emplace_back(b, b + n);
  }
};

class FakeEndpoint : public TcpEndpoint {
 public:
  struct Conn {
    std::string address = "127.0.0.1";
    std::deque<uint8_t> in;
    std::vector<uint8_t> out;
    bool closed = false;
    ConnectionState state;
  };
  std::vector<Conn> conns;
  bool listening = false;
  bool fail_open = false;
  int port_no = 0;
  int opens = 0;

  void open(int port) override {
    if (fail_open) throw std::runtime_error("listen failed");
    listening = true;
    port_no = port;
    ++opens;
  }
  void close() override {
    listening = false;
    for (auto& c : conns) c.closed = true;
  }
  bool is_listening() const override { return listening; }
  int port() const override { return port_no; }
  int connection_count() const override { return static_cast<int>(conns.size()); }
  int bytes_waiting(int i) override { return valid(i) ? static_cast<int>(conns[i].in.size()) : 0; }
  int receive(int i, uint8_t* buf, int n) override {
    if (!valid(i)) return 0;
    int k = 0;
    while (k < n && !conns[i].in.empty()) {
      buf[k++] = conns[i].in.front();
      conns[i].in.pop_front();
    }
    return k;
  }
  void send(int i, const uint8_t* buf, int n) override {
    if (valid(i) && n > 0) conns[i].out.insert(conns[i].out.end(), buf, buf + n);
  }
  std::string remote_address(int i) const override {
    return valid(i) ? conns[i].address : std::string();
  }
  void close_connection(int i) override {
    if (valid(i)) conns[i].closed = true;
  }
  ConnectionState* state(int i) override { return valid(i) ? &conns[i].state : nullptr; }
  // Removes closed connections, as the platform does after the handler.
  void reap() {
    std::vector<Conn> keep;
    for (auto& c : conns)
      if (!c.closed) keep.push_back(c);
    conns.swap(keep);
  }
  void feed(int i, const std::vector<uint8_t>& bytes) {
    conns[i].in.insert(conns[i].in.end(), bytes.begin(), bytes.end());
  }
  bool valid(int i) const { return i >= 0 && i < static_cast<int>(conns.size()); }
};

// A complete context over fakes and a database at a path of the test's choice.
struct FakeWorld {
  BufferState st;
  FakeLog log;
  FakeForm form;
  FakeOperator op;
  FakeClock clock;
  FakeSerial serial;
  FakeEndpoint pc;
  FakeEndpoint service;
  Database db;
  Context ctx{st, log, form, op, clock, serial, pc, service, db};
};

}  // namespace netbuf::testing
