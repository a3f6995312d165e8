#include "core/port_admission.h"

#include <gtest/gtest.h>

#include "tests/unit/addresses.h"

namespace netbuf {
namespace {

using testing::v4;

// Each way a peer is turned away is counted under its own refusal, and said
// in a line unless the port was merely full.
TEST(PortAdmission, EachRefusalIsCountedAndSaidAsItsKind) {
  struct Case {
    const char* what;
    int places, per_address;
    bool listed;
    int connects;  // by 192.0.2.1, all at once
    Admission::Verdict last;
    Refusal counted;
    const char* line;  // of the last connect; empty: nothing said
  };
  const Case cases[] = {
      {"full port", 1, 0, true, 2, Admission::Verdict::PortFull, Refusal::Full, ""},
      {"not listed", 0, 0, false, 1, Admission::Verdict::NotAllowed, Refusal::NotAllowed,
       "refused 192.0.2.1 on port 502: not in --allow-pc"},
      {"address full", 0, 2, true, 3, Admission::Verdict::AddressFull, Refusal::PlacesPerAddress,
       "refused 192.0.2.1 on port 502: already holds 2 connections"},
      {"too fast", 0, 0, true, 201, Admission::Verdict::TooFast, Refusal::ConnectRate,
       "refused 192.0.2.1 on port 502: more than 100 connections a second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LineFigures figures;
    PortAdmission door(c.places, c.per_address);
    door.set_figures(&figures, FigurePort::Remote);
    std::string error;
    door.set_allowed(AddressList::parse(c.listed ? "192.0.2.0/24" : "198.51.100.0/24", error),
                     "--allow-pc");
    Admission::Verdict v = Admission::Verdict::Admitted;
    for (int k = 0; k < c.connects; ++k) v = door.admit(v4(1), 0);
    ASSERT_EQ(v, c.last);
    const std::vector<std::string> said = door.refused(v, v4(1), 502, 0);
    const auto& refused = figures.process().refused[static_cast<int>(FigurePort::Remote)];
    for (int r = 0; r < kRefusals; ++r)
      EXPECT_EQ(refused[r], r == static_cast<int>(c.counted) ? 1u : 0u) << "refusal " << r;
    if (*c.line)
      EXPECT_EQ(said, std::vector<std::string>{c.line});
    else
      EXPECT_TRUE(said.empty());
  }
}

}  // namespace
}  // namespace netbuf
