// Collapses a run of one identical line into the line and a count: the first
// is written, repeats within the interval are only counted, and one line with
// the count follows when a different line comes or the interval is over. A
// reader line or a database that fails the same way at poll rate then costs
// the journal one line per interval, not thousands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace netbuf {

class RepeatCollapse {
 public:
  explicit RepeatCollapse(int64_t interval_s = 60) : interval_(interval_s) {}

  // The lines to write for `line` arriving at `now` (seconds).
  std::vector<std::string> add(const std::string& line, int64_t now);
  // The count line of a run whose interval is over (called now and then).
  std::vector<std::string> flush(int64_t now);

 private:
  std::string summary() const;

  int64_t interval_;
  std::string last_;
  int64_t start_ = 0;
  int64_t count_ = 0;  // repeats not written
  bool any_ = false;
};

}  // namespace netbuf
