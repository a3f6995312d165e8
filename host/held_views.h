// The logic's views of the window as plain values: what netbuf keeps, and
// what it hands on to the windows attached to draw. The two logic timers are
// real timers.
#pragma once

#include <array>
#include <string>

#include "control/window_messages.h"
#include "core/window_views.h"

class QTimer;

namespace netbuf {

class HeldViews : public StatusView,
                  public SettingsForm,
                  public LogicTimers,
                  public control::StatusFigures {
 public:
  // The status figures, each kept as the text the window shows for it.
  using Figure = control::StatusFigure;

  HeldViews(QTimer& poll, QTimer& supervision);

  const std::string& figure(Figure f) const { return figures_[f]; }
  int card_store_percent() const { return card_store_percent_; }

  // StatusView.
  void show_event_counters(int32_t counter, int32_t read_pointer) override;
  void show_client(const std::string& text) override;
  void show_device(const std::string& mac, int32_t card_count) override;
  void show_readers(int reader_count, int com_port) override;
  void show_card_store_progress(int percent) override;

  // SettingsForm: the values as the settings page would hold them.
  int poll_delay() const override { return poll_delay_; }
  void show_poll_delay(int ms) override;
  PortTexts port_texts() const override { return ports_; }
  void show_pc_port(int port) override;
  void show_service_port(int port) override;
  BuzzerPatterns buzzer_patterns() const override { return patterns_; }
  void tick_buzzer_patterns(const BuzzerPatterns& p) override;

  // The settings page as a window's "Zapisz" sends it: the values it
  // stores, exactly as the window showed them.
  void set_form(const control::FormValues& form);
  control::FormValues form() const;

  // LogicTimers.
  void set_poll_timer(bool enabled) override;
  bool poll_timer() const override;
  void set_poll_interval(int ms) override;
  int poll_interval() const override;
  void set_supervision_timer(bool enabled) override;
  bool supervision_timer() const override;

 protected:
  // A figure's text changed, or with kFigureCount the card store progress.
  virtual void changed(int /*figure*/) {}
  // The logic showed a stored setting.
  virtual void settings_shown() {}

 private:
  void keep(Figure f, std::string text);

  QTimer& poll_;
  QTimer& supervision_;
  std::array<std::string, kFigureCount> figures_;
  int card_store_percent_ = 0;
  int poll_delay_ = control::kPollDelayStart;
  PortTexts ports_;
  BuzzerPatterns patterns_;
};

}  // namespace netbuf
