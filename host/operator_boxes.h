// The operator's messages as one window shows them: one box at a time, later
// texts waiting their turn (an identical waiting text once); or the lines of
// OperatorLines. Never blocks the handler that raised the text: the window
// opens the box and says when it is gone.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "core/platform.h"

namespace netbuf {

class OperatorBoxes : public OperatorChannel {
 public:
  static constexpr std::size_t kMaxWaiting = 100;

  enum class Mode {
    Lines,  // lines on stderr
    Boxes,  // boxes in a window
  };
  // Opens one box: an error report or a message, plain text with its
  // control bytes escaped.
  using Opener = std::function<void(bool error, const std::string& text)>;

  explicit OperatorBoxes(Mode mode = Mode::Lines) : mode_(mode) {}

  // Until there is somewhere to open them, boxes wait.
  void open_with(Opener open);
  // The open box went away: the next waiting text gets its box.
  void box_closed();

  void message_box(const std::string& text) override;
  void error_report(const std::string& text) override;

  // For tests and diagnostics.
  std::size_t waiting() const { return queue_.size(); }
  bool box_open() const { return open_; }

 private:
  struct Note {
    bool error;
    std::string text;
  };
  void raise(bool error, const std::string& text);
  void show_next();

  Mode mode_;
  Opener open_box_;
  bool open_ = false;
  std::deque<Note> queue_;
};

}  // namespace netbuf
