#include "host/operator_boxes.h"

#include <iostream>

#include "core/text_escape.h"
#include "host/operator_lines.h"

namespace netbuf {

void OperatorBoxes::open_with(Opener open) {
  open_box_ = std::move(open);
  if (!open_) show_next();
}

void OperatorBoxes::box_closed() {
  open_ = false;
  show_next();
}

void OperatorBoxes::message_box(const std::string& text) {
  raise(false, text);
}

void OperatorBoxes::error_report(const std::string& text) {
  raise(true, text);
}

void OperatorBoxes::raise(bool error, const std::string& text) {
  if (mode_ == Mode::Lines) {
    OperatorLines::write(text);
    return;
  }
  for (const Note& n : queue_)
    if (n.text == text) return;
  if (queue_.size() >= kMaxWaiting) {
    std::cerr << "netbuf: too many messages waiting, dropped: " << one_line(queue_.front().text)
              << std::endl;
    queue_.pop_front();
  }
  queue_.push_back({error, text});
  if (!open_) show_next();
}

void OperatorBoxes::show_next() {
  if (queue_.empty() || !open_box_) return;
  const Note n = queue_.front();
  queue_.pop_front();
  open_ = true;
  // Texts may carry bytes from the network: never a raw control byte.
  open_box_(n.error, escape_controls(n.text, true));
}

}  // namespace netbuf
