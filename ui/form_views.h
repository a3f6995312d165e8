// The logic's views of the window, on Form1's controls. The table in
// form_views.cpp is the one place that says which control shows what.
#pragma once

#include <QString>
#include <memory>

#include "core/window_views.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QObject;
class QProgressBar;
class QSlider;
class QTimer;
class QWidget;

namespace netbuf {

class FormViews : public StatusView, public SettingsForm, public LogicTimers {
 public:
  // Finds the controls by name among the children of form; every one must be
  // there.
  explicit FormViews(QWidget& form);
  ~FormViews() override;

  // StatusView.
  void show_event_counters(int32_t counter, int32_t read_pointer) override;
  void show_client(const std::string& text) override;
  void show_device(const std::string& mac, int32_t card_count) override;
  void show_readers(int reader_count, int com_port) override;
  void show_card_store_progress(int percent) override;

  // SettingsForm.
  int poll_delay() const override;
  void show_poll_delay(int ms) override;
  PortTexts port_texts() const override;
  void show_pc_port(int port) override;
  void show_service_port(int port) override;
  BuzzerPatterns buzzer_patterns() const override;
  void tick_buzzer_patterns(const BuzzerPatterns& p) override;

  // LogicTimers.
  void set_poll_timer(bool enabled) override;
  bool poll_timer() const override;
  void set_poll_interval(int ms) override;
  int poll_interval() const override;
  void set_supervision_timer(bool enabled) override;
  bool supervision_timer() const override;

  // The figure beside the poll-delay slider follows the slider.
  void echo_poll_delay();

  // Puts the latest figures on the controls that show them. Runs shortly
  // after a change while the window is visible and at once when it is shown;
  // a window nobody sees is never touched per request.
  void apply_changes();
  // How many texts and values have reached the controls so far.
  int changes_applied() const { return applied_; }

 private:
  // The latest text for a label, and whether the label still shows another.
  struct Shown {
    QLabel* label;
    QString text;
    bool pending = false;
  };
  static Shown shown(QWidget& form, const char* name);
  static void show(QLabel* label, const QString& text);
  void keep(Shown& s, QString text);
  void schedule();
  static int32_t word_of(QCheckBox* const (&boxes)[16]);
  static void tick(QCheckBox* const (&boxes)[16], int32_t word);

  QWidget& form_;
  Shown event_counter_;
  Shown event_read_pointer_;
  Shown client_;
  Shown mac_;
  Shown card_count_;
  Shown reader_count_;
  Shown com_port_;
  QProgressBar* card_store_progress_;
  int card_store_percent_;
  bool card_store_pending_ = false;
  QSlider* poll_delay_;
  QLabel* poll_delay_figure_;
  QLineEdit* pc_port_;
  QLineEdit* service_port_;
  QCheckBox* unknown_card_[16];  // most significant bit first
  QCheckBox* wrong_zone_[16];
  QTimer* poll_timer_;
  QTimer* supervision_timer_;
  std::unique_ptr<QTimer> apply_timer_;
  std::unique_ptr<QObject> on_show_;
  int applied_ = 0;
};

}  // namespace netbuf
