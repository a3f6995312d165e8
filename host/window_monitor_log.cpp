#include "host/window_monitor_log.h"

#include "core/text_escape.h"

namespace netbuf {

WindowMonitorLog::WindowMonitorLog(Sink to_windows) : to_windows_(std::move(to_windows)) {}

void WindowMonitorLog::tick_stdout(const std::string& list) {
  const std::array<bool, 4> named = named_categories(list);
  for (std::size_t i = 0; i < 4; ++i) stdout_on_[i] = stdout_on_[i] || named[i];
}

bool WindowMonitorLog::enabled(LogCategory c) const {
  const int i = static_cast<int>(c);
  if (i < 0 || i >= 4) return false;
  tag_ = i;
  return stdout_on_[static_cast<std::size_t>(i)] || (windows_ >> i) & 1;
}

void WindowMonitorLog::log_line(const std::string& text) {
  write(escape_controls(text), true);
}

void WindowMonitorLog::log_append(const std::string& text) {
  write(escape_controls(text), false);
}

void WindowMonitorLog::write(const std::string& text, bool new_line) {
  if (tag_ == kNoSwitch || stdout_on_[static_cast<std::size_t>(tag_)])
    stdout_.write(text, new_line);
  to_windows_(tag_, new_line, text);
}

void WindowMonitorLog::log_limit() {
  if (on_limit) on_limit();
}

}  // namespace netbuf
