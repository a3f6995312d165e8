// Keeps a flood of reports (one bad client, a failing peer) from flooding the
// operator or the journal: within each interval the first few distinct
// reports pass, the rest are held and counted, and once the interval is over
// each held text comes out once with its count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace netbuf {

class ReportLimiter {
 public:
  // At most max_lines lines (reports and summaries) per interval; max_lines >= 2.
  explicit ReportLimiter(int64_t interval_ms = 1000, int max_lines = 4);

  // The lines to write now for a report made at now_ms (a monotonic clock):
  // summaries of an interval that has ended, then the report unless held.
  std::vector<std::string> offer(const std::string& text, int64_t now_ms);
  // Summaries of an interval that has ended by now_ms; call it when nothing
  // else reports, so counts are not left behind.
  std::vector<std::string> flush(int64_t now_ms);
  // Something is held and waits for flush().
  bool holding() const { return !held_.empty() || others_ > 0; }
  int64_t interval_ms() const { return interval_ms_; }

 private:
  struct Held {
    std::string text;
    int64_t count;
  };
  void roll_over(int64_t now_ms, std::vector<std::string>& out);

  int64_t interval_ms_;
  int max_lines_;
  int64_t start_ = INT64_MIN;        // start of the current interval
  int written_ = 0;                  // lines written in it
  std::vector<std::string> passed_;  // distinct texts written in it
  std::vector<Held> held_;           // at most max_lines - 1 texts, oldest first
  int64_t others_ = 0;               // held reports beyond those texts
};

}  // namespace netbuf
