#include "host/held_views.h"

#include <QTimer>
#include <algorithm>

#include "host/captions.h"

namespace netbuf {

HeldViews::HeldViews(QTimer& poll, QTimer& supervision)
    : poll_(poll),
      supervision_(supervision),
      figures_{captions::kLabel13, captions::kLabel14, captions::kLabel21, captions::kLabel5,
               captions::kLabel6,  captions::kLabel4,  captions::kLabel8},
      ports_{captions::kEdit2, captions::kEdit3} {}

void HeldViews::keep(Figure f, std::string text) {
  if (text == figures_[f]) return;
  figures_[f] = std::move(text);
  changed(f);
}

void HeldViews::show_event_counters(int32_t counter, int32_t read_pointer) {
  keep(kEventCounter, std::to_string(counter));
  keep(kEventReadPointer, std::to_string(read_pointer));
}

void HeldViews::show_client(const std::string& text) {
  keep(kClient, text);
}

void HeldViews::show_device(const std::string& mac, int32_t card_count) {
  keep(kMac, mac);
  keep(kCardCount, std::to_string(card_count));
}

void HeldViews::show_readers(int reader_count, int com_port) {
  keep(kReaderCount, std::to_string(reader_count));
  keep(kComPort, captions::kComPortPrefix + std::to_string(com_port));
}

void HeldViews::show_card_store_progress(int percent) {
  percent = std::clamp(percent, 0, 100);
  if (percent == card_store_percent_) return;
  card_store_percent_ = percent;
  changed(kFigureCount);
}

void HeldViews::show_poll_delay(int ms) {
  poll_delay_ = std::clamp(ms, control::kPollDelayMin, control::kPollDelayMax);
  settings_shown();
}

void HeldViews::show_pc_port(int port) {
  ports_.pc = std::to_string(port);
  settings_shown();
}

void HeldViews::show_service_port(int port) {
  ports_.service = std::to_string(port);
  settings_shown();
}

// Like the pattern boxes: sets the bits given, clears none.
void HeldViews::tick_buzzer_patterns(const BuzzerPatterns& p) {
  patterns_.unknown_card |= p.unknown_card & 0xFFFF;
  patterns_.wrong_zone |= p.wrong_zone & 0xFFFF;
  settings_shown();
}

void HeldViews::set_form(const control::FormValues& form) {
  poll_delay_ = std::clamp(form.poll_delay, control::kPollDelayMin, control::kPollDelayMax);
  ports_ = {form.pc_port, form.service_port};
  patterns_ = {form.unknown_card, form.wrong_zone};
}

control::FormValues HeldViews::form() const {
  return {poll_delay_, ports_.pc, ports_.service, static_cast<uint16_t>(patterns_.unknown_card),
          static_cast<uint16_t>(patterns_.wrong_zone)};
}

// A timer switched on while running, or given the interval it already has,
// keeps its phase.
void HeldViews::set_poll_timer(bool enabled) {
  if (enabled && !poll_.isActive()) poll_.start();
  if (!enabled) poll_.stop();
}

bool HeldViews::poll_timer() const {
  return poll_.isActive();
}

void HeldViews::set_poll_interval(int ms) {
  if (ms != poll_.interval()) poll_.setInterval(ms);
}

int HeldViews::poll_interval() const {
  return poll_.interval();
}

void HeldViews::set_supervision_timer(bool enabled) {
  if (enabled && !supervision_.isActive()) supervision_.start();
  if (!enabled) supervision_.stop();
}

bool HeldViews::supervision_timer() const {
  return supervision_.isActive();
}

}  // namespace netbuf
