#include "host/control_host.h"

#include <algorithm>
#include <cstdint>

#include "access/card_check.h"
#include "app/settings.h"
#include "core/figures_snapshot.h"
#include "core/log_texts.h"
#include "host/captions.h"
#include "host/operator_lines.h"
#include "readerbus/reader_answers.h"

namespace netbuf {

namespace {

// More start-up lines than a start-up writes; a bound all the same.
constexpr std::size_t kMaxStartLines = 32;

constexpr int kReaderTableMs = 1000;

uint32_t saturated(uint64_t v) {
  return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX));
}

}  // namespace

ControlHost::ControlHost(const QString& app_dir)
    : BufferHost(app_dir, nullptr),
      views_(*this, poll_timer(), supervision_timer()),
      log_(
          [this](int c, bool new_line, const std::string& text) { to_windows(c, new_line, text); }),
      messages_(*this) {
  log_.tick_stdout(monitor_categories());
  log_.on_limit = [this] {
    for (auto& [id, w] : windows_) {
      if (!w.written) continue;
      w.written = false;
      server_.send(id, control::plain_notice(control::Notice::kLogLimit));
    }
  };
  use_operator_channel(messages_);
  attach(log_, views_, views_, views_);
  QObject::connect(&serial_line(), &QtSerialLine::port_number_changed, &serial_line(), [this](int n) {
    broadcast(control::number_notice(control::Notice::kPortNumber, n));
  });
  QObject::connect(&server_, &ControlServer::attached, &server_, [this](int w) { on_attached(w); });
  QObject::connect(&server_, &ControlServer::request, &server_,
                   [this](int w, const control::RequestMessage& m) { on_request(w, m); });
  QObject::connect(&server_, &ControlServer::detached, &server_, [this](int w) { on_detached(w); });
  reader_table_timer_.setInterval(kReaderTableMs);
  QObject::connect(&reader_table_timer_, &QTimer::timeout, &reader_table_timer_, [this] {
    if (!windows_.empty()) broadcast(reader_table_frame());
  });
}

ControlHost::~ControlHost() = default;

void ControlHost::start_up() {
  starting_ = true;
  start();
  starting_ = false;
}

void ControlHost::shut_down() {
  if (is_shut_down()) return;
  // The windows take their tray icons away before the stores.
  broadcast(control::plain_notice(control::Notice::kClosing));
  BufferHost::shut_down();
}

// --- Windows coming and going ---------------------------------------------------

void ControlHost::on_attached(int id) {
  Attached& w = windows_[id];
  w.boxes = std::make_unique<OperatorBoxes>(OperatorBoxes::Mode::Boxes);
  server_.send(id, control::hello_notice(started(), texts::kCaption));
  for (int f = 0; f <= HeldViews::kFigureCount; ++f) server_.send(id, figure_frame(f));
  server_.send(id, control::settings_notice(views_.form()));
  std::vector<control::PortEntry> ports;
  for (const auto& p : QtSerialLine::available_ports(serial_line().resolution_dir()))
    ports.push_back({p.number, p.device.toStdString()});
  server_.send(id, control::ports_notice(ports));
  server_.send(id, control::number_notice(control::Notice::kPortNumber, serial_line().port_number()));
  for (const auto& [new_line, text] : start_lines_)
    server_.send(id, control::text_notice(
                         new_line ? control::Notice::kLogLine : control::Notice::kLogAppend, text));
  server_.send(id, reader_table_frame());
  if (!reader_table_timer_.isActive()) reader_table_timer_.start();
  // Boxes open one at a time in each window; the window says when one is gone.
  w.boxes->open_with([this, id](bool error, const std::string& text) {
    server_.send(id, control::box_notice(error, text));
  });
}

void ControlHost::on_detached(int id) {
  windows_.erase(id);
  if (windows_.empty()) reader_table_timer_.stop();
  categories_changed();
}

void ControlHost::categories_changed() {
  control::CategoryMask all = 0;
  for (const auto& [id, w] : windows_) all |= w.categories;
  log_.set_window_categories(all);
}

// --- The operator's requests, as the window's handlers carried them out ---------

void ControlHost::on_request(int id, const control::RequestMessage& m) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return;
  using control::Request;
  switch (m.kind) {
    case Request::kCategories:
      it->second.categories = m.categories;
      categories_changed();
      break;
    case Request::kSave:
      dispatch([this, &m] {
        views_.set_form(m.form);
        netbuf::save_settings(context());
      });
      break;
    case Request::kTestCard:
      dispatch([this] { check_card(context(), 1, captions::kTestCardCode); });
      break;
    case Request::kResetReceive: {
      control::ReceiveState s;
      dispatch([this, &s] {
        reset_rx(context());
        s.rx_len = context().st.rx_len;
        for (int e = 1; e <= kReaderCount; ++e) {
          const ReaderEntry& r = context().st.reader(e);
          s.readers.emplace_back(unsigned{r.action}, unsigned{r.pc_wait});
        }
      });
      server_.send(id, control::receive_notice(s));
      break;
    }
    case Request::kPoll:
      dispatch([this, on = m.on] { views_.set_poll_timer(on); });
      break;
    case Request::kChoosePort:
      dispatch([this, n = m.number] { serial_line().set_port_number(n); });
      break;
    case Request::kListPorts: {
      std::vector<control::PortEntry> ports;
      for (const auto& p : QtSerialLine::available_ports(serial_line().resolution_dir()))
        ports.push_back({p.number, p.device.toStdString()});
      server_.send(id, control::ports_notice(ports));
      break;
    }
    case Request::kBoxClosed:
      it->second.boxes->box_closed();
      break;
    case Request::kQuit:
      shut_down();
      break;
    case Request::kHello:
      break;
  }
}

// --- What the windows show --------------------------------------------------------

std::string ControlHost::figure_frame(int figure) const {
  if (figure == HeldViews::kFigureCount)
    return control::number_notice(control::Notice::kProgress, views_.card_store_percent());
  const auto f = static_cast<control::StatusFigure>(figure);
  return control::figure_notice(f, views_.figure(f));
}

std::string ControlHost::reader_table_frame() {
  const FiguresSnapshot figures = take_figures(context().st, clock().monotonic_ms());
  std::vector<control::ReaderTableRow> rows;
  rows.reserve(figures.readers.size());
  for (const ReaderRow& r : figures.readers) {
    control::ReaderTableRow row;
    row.address = static_cast<uint8_t>(r.address);
    row.answering = r.answering;
    row.answers = saturated(r.answers);
    row.crc_errors = saturated(r.crc_errors);
    row.timeouts = saturated(r.timeouts);
    row.answer_time_tenths_ms = saturated(static_cast<uint64_t>(r.mean_answer_ms() * 10 + 0.5));
    rows.push_back(row);
  }
  return control::reader_table_notice(rows);
}

void ControlHost::Figures::changed(int figure) {
  if (host_.windows_.empty()) return;
  host_.broadcast(host_.figure_frame(figure));
}

void ControlHost::Figures::settings_shown() {
  if (host_.windows_.empty()) return;
  host_.broadcast(control::settings_notice(form()));
}

void ControlHost::to_windows(int category, bool new_line, const std::string& text) {
  const auto kind = new_line ? control::Notice::kLogLine : control::Notice::kLogAppend;
  if (starting_ && category == WindowMonitorLog::kNoSwitch && start_lines_.size() < kMaxStartLines)
    start_lines_.emplace_back(new_line, text);
  if (windows_.empty()) return;
  const std::string frame = control::text_notice(kind, text);
  // Copied first: a window over its bound goes while we send.
  std::vector<int> to;
  for (auto& [id, w] : windows_) {
    if (category != WindowMonitorLog::kNoSwitch && !((w.categories >> category) & 1)) continue;
    w.written = true;
    to.push_back(id);
  }
  for (int id : to) server_.send(id, frame);
}

void ControlHost::broadcast(const std::string& frame) {
  std::vector<int> to;
  for (const auto& [id, w] : windows_) to.push_back(id);
  for (int id : to) server_.send(id, frame);
}

void ControlHost::Messages::message_box(const std::string& text) {
  raise(false, text);
}

void ControlHost::Messages::error_report(const std::string& text) {
  raise(true, text);
}

void ControlHost::Messages::raise(bool error, const std::string& text) {
  // The journal keeps every message, whether or not a window shows it.
  OperatorLines::write(text);
  std::vector<OperatorBoxes*> boxes;
  for (auto& [id, w] : host_.windows_) boxes.push_back(w.boxes.get());
  for (OperatorBoxes* b : boxes) error ? b->error_report(text) : b->message_box(text);
}

}  // namespace netbuf
