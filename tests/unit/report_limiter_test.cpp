#include "core/report_limiter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace netbuf {
namespace {

using Lines = std::vector<std::string>;

TEST(ReportLimiter, CollapsesRepeatsAndCapsLinesPerInterval) {
  // Interval 1000 ms, at most 3 lines in it. Each step: a report (or, with
  // no text, a flush) at a time, and the lines that come out.
  struct Step {
    int64_t at;
    const char* text;  // nullptr: flush
    Lines out;
  };
  const Step steps[] = {
      {0, "a", {"a"}},
      {10, "a", {}},  // repeat: held
      {20, "b", {"b"}},
      {30, "c", {"c"}},
      {40, "d", {}},  // cap reached: held
      {50, "e", {}},  // more than two held texts: only counted
      {60, "a", {}},
      {999, nullptr, {}},  // interval not over
      // Summaries open the next interval and count against its cap.
      {1000,
       nullptr,
       {"a (repeated 2 times)", "d (repeated 1 times)", "netbuf: reports held back: 1"}},
      {1100, "f", {}},
      {1200, "a", {}},
      {2500, "g", {"f (repeated 1 times)", "a (repeated 1 times)", "g"}},
      {2600, "g", {}},
      // Nothing held: a flush gives nothing, and a quiet interval passes.
      {9000, nullptr, {"g (repeated 1 times)"}},
      {9001, nullptr, {}},
      {20000, "g", {"g"}},
  };
  ReportLimiter lim(1000, 3);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at);
    EXPECT_EQ(s.text ? lim.offer(s.text, s.at) : lim.flush(s.at), s.out);
  }
  EXPECT_FALSE(lim.holding());
}

}  // namespace
}  // namespace netbuf
