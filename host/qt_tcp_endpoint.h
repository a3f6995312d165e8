// A listening TCP server on plain non-blocking descriptors with its
// connections oldest first, delivering connect/accept/read/disconnect/error as
// signals on the GUI thread.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/address_list.h"
#include "core/connection_buffers.h"
#include "core/line_figures.h"
#include "core/platform.h"
#include "core/port_admission.h"

namespace netbuf {

class QtTcpEndpoint : public QObject, public TcpEndpoint {
  Q_OBJECT

 public:
  // places > 0 closes any connection beyond that many at once, without
  // events; per_address > 0 lets one address hold only that many of them
  // and says so of the rest. 0 leaves either unbounded.
  explicit QtTcpEndpoint(int places = 0, int per_address = 0, QObject* parent = nullptr);
  ~QtTcpEndpoint() override;

  void open(int port) override;
  void close() override;
  bool is_listening() const override;
  int port() const override;
  int connection_count() const override;
  int bytes_waiting(int i) override;
  int receive(int i, std::span<uint8_t> buf) override;
  bool send(int i, std::span<const uint8_t> bytes) override;
  std::string remote_address(int i) const override;
  void close_connection(int i) override;
  ConnectionState* state(int i) override;

  // Who may connect; without a list, everyone. A peer not on it is closed
  // as it is accepted, before a byte of it is read, and said in one
  // rate-limited line naming `option` (the option that sets the list).
  void set_allowed(std::optional<AddressList> list, std::string option);
  // Where refusals are said (the journal); standard error until set.
  void set_reporter(std::function<void(const std::string&)> say) { say_ = std::move(say); }
  // Where refusals are counted, as which port.
  void set_figures(LineFigures* figures, FigurePort port) { admission_.set_figures(figures, port); }
  // The one address to listen on; without it, every address of both families.
  void set_bind_address(std::optional<ListenAddress> at) { bind_ = std::move(at); }
  // Closes connection i once everything sent to it has gone out.
  void close_when_sent(int i);
  // A refusal made above the endpoint (its own limits), counted with the rest.
  void count_refusal(Refusal why) { admission_.count(why); }

  // Unsent output one connection may hold before it is closed: a client that
  // sends requests but never reads the answers must not grow our memory.
  static constexpr std::size_t kMaxUnsent = OutputBacklog::kDefaultBound;
  // A port whose one answer is larger than that (a scrape) sets its own bound.
  void set_max_unsent(std::size_t bytes) { max_unsent_ = bytes; }
  // Received bytes one connection may hold before we stop reading from it.
  static constexpr std::size_t kMaxUnread = InputBuffer::kCapacity;

 signals:
  void client_connect(int connection);
  void client_accept();
  void client_read(int connection);
  void client_disconnect(int connection);
  void client_error(int connection, int code);

 private:
  struct Connection {
    // Queued work names a connection by this number, never by its address:
    // the next connection may well be allocated where a closed one was.
    uint64_t id = 0;
    int fd = -1;
    Address16 peer{};      // whose place it holds
    std::string address;   // kept so it stays readable while the socket goes
    bool closing = false;  // disconnect event given, removal pending
    bool close_when_sent = false;
    // Children of the endpoint, so none outlives it.
    QSocketNotifier* reader = nullptr;
    QSocketNotifier* writer = nullptr;  // only while output is queued
    InputBuffer in;                     // received, not read by the logic yet
    OutputBacklog out;                  // sent, not taken by the socket yet
    ConnectionState state;
  };

  // Takes the connections waiting on the listening socket.
  void accept_pending();
  void pause_accepting(int err);
  void take_connection(int fd);
  // Says, rate-limited, why a peer was not let in.
  void say_refused(Admission::Verdict v, const Address16& peer);
  void report(const std::string& text);
  void on_readable(uint64_t id);
  void on_writable(uint64_t id);
  // The peer closed or reset: its last bytes get one read event, then the
  // disconnect. Runs from the loop, never inside a handler.
  void peer_closed(int i);
  // A socket error: the error event, then the connection goes.
  void socket_failed(int i, int err);
  // The same for a send made inside a handler, whose events must wait until
  // the handler has returned.
  void defer_failure(uint64_t id, int err);
  void post_read(uint64_t id);
  static bool peer_gone(const Connection& c);
  void reap();
  int index_of(uint64_t id) const;
  bool live(int i) const;
  // Gives the disconnect event, closes the socket and removes the entry once
  // the current handler has returned.
  void retire(int i);
  static void drop_notifier(QSocketNotifier*& n);

  std::vector<std::unique_ptr<Connection>> conns_;
  uint64_t next_id_ = 1;
  PortAdmission admission_;
  int port_ = 0;
  int listener_ = -1;
  // Accepting is paused while the system has no descriptors or memory left;
  // until then the waiting connection would wake the loop for nothing.
  QSocketNotifier* accept_notifier_ = nullptr;
  QTimer accept_pause_;
  QElapsedTimer last_accept_failure_;
  std::function<void(const std::string&)> say_;
  std::optional<ListenAddress> bind_;
  std::size_t max_unsent_ = kMaxUnsent;
  QElapsedTimer clock_;
  QTimer refusal_flush_;  // runs while refusals are held back
};

}  // namespace netbuf
