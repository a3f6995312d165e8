#include "core/repeat_collapse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace netbuf {
namespace {

using Lines = std::vector<std::string>;

TEST(RepeatCollapse, OneLinePerRunAndInterval) {
  struct Step {
    int64_t at;
    const char* line;  // nullptr: a flush
    Lines out;
  };
  const Step steps[] = {
      {0, "db locked", {"db locked"}},
      {1, "db locked", {}},
      {2, "db locked", {}},
      // A different line ends the run with its count.
      {3, "port gone", {"db locked (repeated 2 more times)", "port gone"}},
      {4, "db locked", {"db locked"}},
      {5, "db locked", {}},
      {30, nullptr, {}},  // within the interval: nothing yet
      {64, nullptr, {"db locked (repeated 1 more times)"}},
      {64, nullptr, {}},
      {70, "db locked", {}},  // the run goes on in a new interval
      {125, "db locked", {"db locked (repeated 1 more times)", "db locked"}},
      {126, nullptr, {}},
  };
  RepeatCollapse c(60);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.at);
    EXPECT_EQ(s.line ? c.add(s.line, s.at) : c.flush(s.at), s.out);
  }
}

}  // namespace
}  // namespace netbuf
