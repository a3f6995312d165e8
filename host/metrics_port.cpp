#include "host/metrics_port.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>

#include "core/buffer_state.h"
#include "core/figures_snapshot.h"
#include "core/log_texts.h"
#include "core/metrics_request.h"
#include "core/prometheus_text.h"

namespace netbuf {

namespace {

// What a metrics connection keeps in its ConnectionState: the request head
// received so far, when it connected, and whether it has had its answer.
std::string& head(ConnectionState& c) {
  return c.partial_command;
}
int64_t& connected_ms(ConnectionState& c) {
  return c.partial_since_ms;
}
int32_t& answered(ConnectionState& c) {
  return c.malformed;
}

std::span<const uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

MetricsPort::MetricsPort(BufferState& st, Clock& clock, ListenAddress at, AddressList allowed,
                         std::function<void(Severity, const std::string&)> say, QObject* parent)
    : QObject(parent),
      st_(st),
      clock_(clock),
      at_(std::move(at)),
      say_(std::move(say)),
      endpoint_(kMaxConnections, kPlacesPerAddress, this),
      retry_(this),
      idle_(this) {
  endpoint_.setObjectName(QStringLiteral("MetricsPort"));
  endpoint_.set_bind_address(at_);
  endpoint_.set_max_unsent(kMaxAnswerBytes);
  endpoint_.set_allowed(std::move(allowed), "--allow-metrics");
  endpoint_.set_reporter([this](const std::string& line) { say_(Severity::Warning, line); });
  endpoint_.set_figures(&st_.figures, FigurePort::Metrics);
  connect(&endpoint_, &QtTcpEndpoint::client_connect, this, [this](int i) { on_connect(i); });
  connect(&endpoint_, &QtTcpEndpoint::client_read, this, [this] { on_read(); });
  retry_.setInterval(3000);
  connect(&retry_, &QTimer::timeout, this, [this] { try_open(); });
  idle_.setInterval(1000);
  connect(&idle_, &QTimer::timeout, this, [this] { close_idle(); });
}

void MetricsPort::start() {
  try_open();
  idle_.start();
}

void MetricsPort::try_open() {
  if (endpoint_.is_listening()) return;
  std::string state = "open";
  try {
    endpoint_.open(at_.port);
  } catch (const std::exception& e) {
    state = e.what();
  }
  if (state == "open")
    retry_.stop();
  else if (!retry_.isActive())
    retry_.start();
  if (state == reported_) return;
  reported_ = state;
  const std::string name = texts::kMetricsPort + at_.text;
  if (state == "open")
    say_(Severity::Info, name + texts::kJournalOpen);
  else
    say_(Severity::Warning, name + texts::kJournalCannotOpen + state);
}

void MetricsPort::on_connect(int i) {
  ConnectionState* c = endpoint_.state(i);
  if (!c) return;
  connected_ms(*c) = clock_.monotonic_ms();
}

void MetricsPort::on_read() {
  // The read event serves every connection with data, as the endpoint expects.
  for (int i = 0; i < endpoint_.connection_count(); ++i)
    if (endpoint_.bytes_waiting(i) > 0) serve(i);
}

void MetricsPort::serve(int i) {
  ConnectionState* c = endpoint_.state(i);
  if (!c) return;
  std::string& got = head(*c);
  if (answered(*c)) {
    // Whatever follows the answered request is read and forgotten.
    uint8_t sink[512];
    while (endpoint_.receive(i, sink) > 0) {
    }
    return;
  }
  // One byte past the limit is enough to tell a head that is too long.
  const std::size_t room = kMaxRequestBytes + 1 - std::min(got.size(), kMaxRequestBytes + 1);
  const std::size_t old = got.size();
  got.resize(old + room);
  const int n = endpoint_.receive(i, std::span(reinterpret_cast<uint8_t*>(got.data()) + old, room));
  got.resize(old + static_cast<std::size_t>(std::max(n, 0)));
  const MetricsRequest r = judge_metrics_request(got);
  if (r == MetricsRequest::Incomplete) return;
  answered(*c) = 1;
  got.clear();
  got.shrink_to_fit();
  if (r == MetricsRequest::Metrics) {
    const std::string body = prometheus_text(take_figures(st_, clock_.monotonic_ms()));
    endpoint_.send(i, bytes_of(metrics_answer_head(body.size())));
    endpoint_.send(i, bytes_of(body));
  } else {
    endpoint_.send(i, bytes_of(refusal_answer(r)));
  }
  endpoint_.close_when_sent(i);
}

void MetricsPort::close_idle() {
  const int64_t now = clock_.monotonic_ms();
  for (int i = 0; i < endpoint_.connection_count(); ++i)
    if (ConnectionState* c = endpoint_.state(i); c && now - connected_ms(*c) > kIdleMs)
      endpoint_.close_connection(i);
}

}  // namespace netbuf
