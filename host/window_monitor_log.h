// The monitor log where windows read it: each line goes to the windows whose
// switch for its category is on, and to standard output when the service's
// environment (NETBUF_MONITOR) names the category, so a journal shows what a
// window would. Lines without a switch (the start-up lines) go everywhere.
//
// The logic asks enabled(c) right before it writes a line of category c, so
// the category asked last is the category of what is written next; every
// handler starts with none asked (untag()).
#pragma once

#include <array>
#include <functional>
#include <string>

#include "control/window_messages.h"
#include "core/monitor_log.h"
#include "host/stdout_monitor_log.h"

namespace netbuf {

class WindowMonitorLog : public MonitorLog {
 public:
  // category: a LogCategory as a number, or kNoSwitch; text escaped.
  static constexpr int kNoSwitch = -1;
  using Sink = std::function<void(int category, bool new_line, const std::string& text)>;

  explicit WindowMonitorLog(Sink to_windows);

  // The switches of every attached window together.
  void set_window_categories(control::CategoryMask mask) { windows_ = mask; }
  void tick_stdout(const std::string& list);
  void untag() { tag_ = kNoSwitch; }

  bool enabled(LogCategory c) const override;
  void log_line(const std::string& text) override;
  void log_append(const std::string& text) override;
  // CLR is each window's own; nothing of the logic clears the log.
  void log_clear() override {}
  void log_limit() override;

  // log_limit() reached the windows: a window trims its own rows.
  std::function<void()> on_limit;

 private:
  void write(const std::string& text, bool new_line);

  Sink to_windows_;
  control::CategoryMask windows_ = 0;
  std::array<bool, 4> stdout_on_{};
  mutable int tag_ = kNoSwitch;
  StdoutLines stdout_;
};

}  // namespace netbuf
