#include "host/window_host.h"

#include <array>

#include "access/card_check.h"
#include "app/settings.h"
#include "core/log_texts.h"
#include "core/text_escape.h"
#include "host/captions.h"
#include "host/headless.h"
#include "readerbus/reader_answers.h"

namespace netbuf {

WindowHost::WindowHost(const QString& app_dir)
    : BufferHost(app_dir, nullptr), views_(poll_timer(), supervision_timer()) {
  use_operator_channel(boxes_);
}

WindowHost::~WindowHost() = default;

void WindowHost::attach(WindowFace& face) {
  face_ = &face;
  views_.face = &face;
  log_.memo = &face.memo();
  QObject::connect(&nrComm1(), &QtSerialLine::port_number_changed, &nrComm1(),
                   [this](int n) { face_->show_port_number(n); });
  boxes_.open_with([this](bool error, const std::string& text) { face_->open_box(error, text); });
  BufferHost::attach(log_, views_, face.settings(), views_);
}

void WindowHost::shut_down() {
  // The tray icon goes before the stores, however the stop was asked for.
  if (face_) face_->closing();
  BufferHost::shut_down();
}

// --- The window's actions --------------------------------------------------------

bool WindowHost::start_up() {
  dispatch([this] {
    face_->show_caption(texts::kCaption);
    // Without a display the monitor log goes to standard output; categories
    // can be ticked from the environment for diagnosis of a running service.
    log_.mirror = is_headless();
    const std::array<bool, 4> named = named_categories(monitor_categories());
    for (int i = 0; i < 4; ++i)
      if (named[static_cast<std::size_t>(i)]) log_.memo->tick(static_cast<LogCategory>(i));
  });
  start();
  return started();
}

void WindowHost::save_settings() {
  dispatch([this] { netbuf::save_settings(context()); });
}

void WindowHost::present_test_card() {
  dispatch([this] { check_card(context(), 1, captions::kTestCardCode); });
}

ReceiveState WindowHost::reset_receive() {
  ReceiveState s;
  dispatch([this, &s] {
    reset_rx(context());
    s.rx_len = context().st.rx_len;
    for (int e = 1; e <= kReaderCount; ++e) {
      const Tczytnik& r = context().st.reader(e);
      s.readers.emplace_back(unsigned{r.action}, unsigned{r.pc_wait});
    }
  });
  return s;
}

void WindowHost::set_poll(bool on) {
  dispatch([this, on] { views_.set_poll_timer(on); });
}

int WindowHost::port_number() {
  return nrComm1().port_number();
}

void WindowHost::choose_port(int n) {
  dispatch([this, n] { nrComm1().set_port_number(n); });
}

std::vector<PortEntry> WindowHost::available_ports() {
  std::vector<PortEntry> ports;
  const QString dir = nrComm1().resolution_dir();
  for (const auto& p : QtSerialLine::available_ports(dir))
    ports.push_back({p.number, p.device.toStdString()});
  return ports;
}

void WindowHost::box_closed() {
  boxes_.box_closed();
}

void WindowHost::quit() {
  shut_down();
}

bool WindowHost::headless() const {
  return is_headless();
}

void WindowHost::dispatch(const std::function<void()>& handler) {
  BufferHost::dispatch(handler);
}

// --- What the window shows -------------------------------------------------------

void WindowHost::Figures::changed(int figure) {
  if (figure == kFigureCount) {
    face->show_card_store_progress(card_store_percent());
  } else {
    const auto f = static_cast<StatusFigure>(figure);
    face->show_figure(f, this->figure(f));
  }
}

void WindowHost::Log::log_line(const std::string& text) {
  write(escape_controls(text), true);
}

void WindowHost::Log::log_append(const std::string& text) {
  write(escape_controls(text), false);
}

void WindowHost::Log::write(const std::string& text, bool new_line) {
  // Headless, nobody reads the memo: what went to standard output is not kept.
  if (mirror) {
    stdout_.write(text, new_line);
  } else if (new_line) {
    memo->log_line(text);
  } else {
    memo->log_append(text);
  }
}

}  // namespace netbuf
