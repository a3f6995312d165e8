// Small recording fakes of the platform interfaces for unit tests.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/context.h"
#include "store/batch_commit.h"
#include "store/database.h"

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

// The window as the logic sees it, recorded by meaning. -1 and empty: never
// shown.
class FakeWindow : public StatusView, public SettingsForm, public LogicTimers {
 public:
  int status_updates = 0;
  int32_t events = -1, read_pointer = -1;
  std::string client;
  std::string mac;
  int32_t card_count = -1;
  int reader_count = -1, com_port = -1;
  int progress = 0;
  void show_event_counters(int32_t c, int32_t p) override {
    ++status_updates;
    events = c;
    read_pointer = p;
  }
  void show_client(const std::string& t) override {
    ++status_updates;
    client = t;
  }
  void show_device(const std::string& m, int32_t n) override {
    ++status_updates;
    mac = m;
    card_count = n;
  }
  void show_readers(int n, int com) override {
    ++status_updates;
    reader_count = n;
    com_port = com;
  }
  void show_card_store_progress(int p) override { progress = p; }

  int delay = 30;
  PortTexts ports{"502", "1060"};
  BuzzerPatterns ticked;  // the boxes, 16 to a pattern
  int poll_delay() const override { return delay; }
  void show_poll_delay(int ms) override { delay = ms < 10 ? 10 : (ms > 500 ? 500 : ms); }
  PortTexts port_texts() const override { return ports; }
  void show_pc_port(int p) override { ports.pc = std::to_string(p); }
  void show_service_port(int p) override { ports.service = std::to_string(p); }
  BuzzerPatterns buzzer_patterns() const override { return ticked; }
  void tick_buzzer_patterns(const BuzzerPatterns& p) override {
    ticked.unknown_card |= p.unknown_card & 0xFFFF;
    ticked.wrong_zone |= p.wrong_zone & 0xFFFF;
  }

  bool poll_on = false;
  int poll_ms = 300;
  bool super_on = false;
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
  void send(std::span<const uint8_t> b) override {
    if (!opened || b.empty()) return;
    sent.emplace_back(b.begin(), b.end());
  }
};

class FakeEndpoint : public TcpEndpoint {
 public:
  struct Conn {
    std::string address = "127.0.0.1";
    std::deque<uint8_t> in;
    std::vector<uint8_t> out;
    bool closed = false;
    bool stopped_reading = false;  // answers are dropped, as for a peer that reads none
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
  int receive(int i, std::span<uint8_t> buf) override {
    if (!valid(i)) return 0;
    int k = 0;
    while (static_cast<std::size_t>(k) < buf.size() && !conns[i].in.empty()) {
      buf[k++] = conns[i].in.front();
      conns[i].in.pop_front();
    }
    return k;
  }
  bool send(int i, std::span<const uint8_t> bytes) override {
    if (!valid(i) || conns[i].closed || conns[i].stopped_reading) return false;
    conns[i].out.insert(conns[i].out.end(), bytes.begin(), bytes.end());
    return true;
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
// The storage path on the caller's thread: each batch is stored as it is
// handed over.
class SyncStorage : public StoragePath {
 public:
  explicit SyncStorage(Database& db) : db_(db) {}
  void submit(StorageBatch batch) override { result_ = commit_batch(db_, batch); }
  std::optional<StorageResult> take_result() override {
    std::optional<StorageResult> r;
    r.swap(result_);
    return r;
  }
  StorageResult wait_result() override { return take_result().value_or(StorageResult{}); }

 private:
  Database& db_;
  std::optional<StorageResult> result_;
};

struct FakeWorld {
  BufferState st;
  FakeLog log;
  FakeWindow window;
  FakeOperator op;
  FakeClock clock;
  FakeSerial serial;
  FakeEndpoint pc;
  FakeEndpoint service;
  Database db;
  SyncStorage storage{db};
  Context ctx{st, log, window, window, window, op, clock, serial, pc, service, db, storage};
};

}  // namespace netbuf::testing
