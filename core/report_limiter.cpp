#include "core/report_limiter.h"

#include <algorithm>

#include "core/hex_text.h"
#include "core/log_texts.h"

namespace netbuf {

ReportLimiter::ReportLimiter(int64_t interval_ms, int max_lines)
    : interval_ms_(std::max<int64_t>(1, interval_ms)), max_lines_(std::max(2, max_lines)) {}

void ReportLimiter::roll_over(int64_t now_ms, std::vector<std::string>& out) {
  if (start_ != INT64_MIN && now_ms - start_ < interval_ms_) return;
  // The summaries open the new interval and count against it, so the overall
  // rate stays at max_lines per interval however the reports vary.
  start_ = now_ms;
  written_ = 0;
  passed_.clear();
  for (const Held& h : held_) {
    out.push_back(h.text + texts::kRepeated + dec(h.count) + texts::kTimes);
    passed_.push_back(h.text);
    ++written_;
  }
  if (others_ > 0) {
    out.push_back(texts::kHeldBack + dec(others_));
    ++written_;
  }
  held_.clear();
  others_ = 0;
}

std::vector<std::string> ReportLimiter::offer(const std::string& text, int64_t now_ms) {
  std::vector<std::string> out;
  roll_over(now_ms, out);
  const bool repeat = std::find(passed_.begin(), passed_.end(), text) != passed_.end();
  if (!repeat && written_ < max_lines_) {
    out.push_back(text);
    passed_.push_back(text);
    ++written_;
    return out;
  }
  const auto h =
      std::find_if(held_.begin(), held_.end(), [&](const Held& x) { return x.text == text; });
  if (h != held_.end()) {
    ++h->count;
  } else if (static_cast<int>(held_.size()) < max_lines_ - 1) {
    held_.push_back({text, 1});
  } else {
    ++others_;
  }
  return out;
}

std::vector<std::string> ReportLimiter::flush(int64_t now_ms) {
  std::vector<std::string> out;
  if (holding()) roll_over(now_ms, out);
  return out;
}

}  // namespace netbuf
