// Message boxes and the top-level error report in the window: one QMessageBox
// at a time, later texts waiting their turn; on a headless platform the lines
// of OperatorLines. Never blocks the handler that raised the text.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <cstddef>
#include <deque>
#include <string>

#include "core/platform.h"
#include "host/operator_lines.h"

class QWidget;

namespace netbuf {

class QtOperatorChannel : public OperatorChannel {
 public:
  static constexpr std::size_t kMaxWaiting = 100;

  enum class Mode {
    Auto,   // boxes with a display, lines without
    Boxes,  // always boxes
    Lines,  // always lines on stderr
  };

  // Boxes are centred on parent; their title is the application title.
  explicit QtOperatorChannel(QWidget* parent = nullptr, Mode mode = Mode::Auto);
  ~QtOperatorChannel() override;

  void message_box(const std::string& text) override;
  void error_report(const std::string& text) override;

  // For tests and diagnostics.
  std::size_t waiting() const { return queue_.size(); }
  QMessageBox* current() const { return box_; }

 private:
  struct Note {
    bool error;
    std::string text;
  };
  void raise(bool error, const std::string& text);
  void show_next();

  QWidget* parent_;
  Mode mode_;
  QPointer<QMessageBox> box_;
  std::deque<Note> queue_;
};

}  // namespace netbuf
