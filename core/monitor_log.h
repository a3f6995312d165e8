// The operator's monitor log and its four category switches.
#pragma once

#include <string>

namespace netbuf {

enum class LogCategory {
  Rs485,        // monitor_rs  "Transmisja RS485"
  Tcp,          // monitor_TCP "Transmisja TCP"
  Events,       // monitor_zd  "Zdarzenia"
  Connections,  // monitor_tr  "Monitorowanie polaczeń"
};

class MonitorLog {
 public:
  virtual ~MonitorLog() = default;
  virtual bool enabled(LogCategory c) const = 0;
  virtual void log_line(const std::string& text) = 0;
  virtual void log_append(const std::string& text) = 0;
  virtual void log_clear() = 0;
  // Empties the log when it holds more than 200 displayed rows.
  virtual void log_limit() = 0;

  // Writes the line only while its category is switched on.
  void line_if(LogCategory c, const std::string& text) {
    if (enabled(c)) log_line(text);
  }
};

}  // namespace netbuf
