#include "core/repeat_collapse.h"

namespace netbuf {

std::string RepeatCollapse::summary() const {
  return last_ + " (repeated " + std::to_string(count_) + " more times)";
}

std::vector<std::string> RepeatCollapse::add(const std::string& line, int64_t now) {
  std::vector<std::string> out;
  if (any_ && line == last_ && now - start_ < interval_) {
    ++count_;
    return out;
  }
  if (count_ > 0) out.push_back(summary());
  any_ = true;
  last_ = line;
  start_ = now;
  count_ = 0;
  out.push_back(line);
  return out;
}

std::vector<std::string> RepeatCollapse::flush(int64_t now) {
  std::vector<std::string> out;
  if (count_ == 0 || now - start_ < interval_) return out;
  out.push_back(summary());
  // The run goes on: its next repeats count towards the next interval.
  count_ = 0;
  start_ = now;
  return out;
}

}  // namespace netbuf
