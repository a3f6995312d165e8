// The logic's views of the window, on Form1's controls. The table in
// form_views.cpp is the one place that says which control shows what.
#pragma once

#include <QString>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "window/window_face.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QObject;
class QProgressBar;
class QSlider;
class QTableWidget;
class QTimer;
class QWidget;

namespace netbuf {

// The status figures the host hands on are put on the labels from a timer;
// the settings are read from and shown on their controls at once.
class FormViews : public SettingsForm {
 public:
  // Finds the controls by name among the children of form; every one must
  // be there.
  explicit FormViews(QWidget& form);
  ~FormViews() override;

  void show_figure(StatusFigure f, const std::string& text);
  void show_card_store_progress(int percent);
  void show_reader_table(const std::vector<control::ReaderTableRow>& rows);

  // SettingsForm.
  int poll_delay() const override;
  void show_poll_delay(int ms) override;
  PortTexts port_texts() const override;
  void show_pc_port(int port) override;
  void show_service_port(int port) override;
  BuzzerPatterns buzzer_patterns() const override;
  void tick_buzzer_patterns(const BuzzerPatterns& p) override;

  // The values netbuf holds for the page, as it sends them to a window.
  void show_form(const control::FormValues& form);

  // The figure beside the poll-delay slider follows the slider.
  void echo_poll_delay();

  // Puts the latest figures on the controls that show them. Runs shortly
  // after a change while the window is visible and at once when it is shown;
  // a window nobody sees is never touched per request.
  void apply_changes();
  // How many texts and values have reached the controls so far.
  int changes_applied() const { return applied_; }

 private:
  void changed(int figure);
  static void show(QLabel* label, const QString& text);
  void put_reader_table();
  static int32_t word_of(QCheckBox* const (&boxes)[16]);
  static void tick(QCheckBox* const (&boxes)[16], int32_t word);

  QWidget& form_;
  std::array<QLabel*, StatusFigures::kFigureCount> labels_;
  // The latest texts, progress and reader table, and which of them (the
  // progress and the table last) changed since they were last applied.
  std::array<QString, StatusFigures::kFigureCount> figures_;
  int card_store_percent_ = 0;
  std::vector<control::ReaderTableRow> reader_table_;
  std::array<bool, StatusFigures::kFigureCount + 2> pending_{};
  QProgressBar* card_store_progress_;
  QTableWidget* reader_table_view_;
  QSlider* poll_delay_;
  QLabel* poll_delay_figure_;
  QLineEdit* pc_port_;
  QLineEdit* service_port_;
  QCheckBox* unknown_card_[16];  // most significant bit first
  QCheckBox* wrong_zone_[16];
  std::unique_ptr<QTimer> apply_timer_;
  std::unique_ptr<QObject> on_show_;
  int applied_ = 0;
};

}  // namespace netbuf
