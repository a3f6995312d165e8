// The monitor log where nobody reads a window: every line goes to standard
// output as it is written, so a service's journal shows what the window
// would. Categories are ticked for diagnosis from NETBUF_MONITOR.
#pragma once

#include <QTimer>
#include <array>
#include <string>

#include "core/monitor_log.h"

namespace netbuf {

// The categories a list such as "rs,tcp,zd,tr" or "all" names, in the order
// of LogCategory.
std::array<bool, 4> named_categories(const std::string& list);
// The list a running service was given in its environment.
std::string monitor_categories();

// Monitor lines on standard output.
class StdoutLines {
 public:
  StdoutLines();
  ~StdoutLines();
  StdoutLines(const StdoutLines&) = delete;
  StdoutLines& operator=(const StdoutLines&) = delete;
  // A new line, or (new_line false) more of the current one.
  void write(const std::string& text, bool new_line);

 private:
  void end_line();

  std::string line_;
  bool open_ = false;  // a line awaits its line end
  QTimer idle_;        // ends an open line after a pause
};

}  // namespace netbuf
