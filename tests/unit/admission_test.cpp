#include "core/admission.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace netbuf {
namespace {

Address16 peer(const char* text) {
  Address16 a{};
  in_addr v4{};
  if (inet_pton(AF_INET, text, &v4) == 1) {
    a[10] = a[11] = 0xff;
    std::memcpy(a.data() + 12, &v4, 4);
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
  }
  return a;
}

TEST(Admission, OneAddressFillsItsShareAndNoMore) {
  using V = Admission::Verdict;
  std::string error;
  Admission a(5, 2);
  a.set_allowed(AddressList::parse("127.0.0.0/8,::1", error), "--allow-remote");
  // Each step: who connects (+) or leaves (-), the verdict, and the line said.
  struct Step {
    char what;
    const char* who;
    V verdict;
    const char* line;
  };
  const std::vector<Step> steps = {
      {'+', "127.0.0.2", V::Admitted, ""},
      {'+', "127.0.0.2", V::Admitted, ""},
      {'+', "127.0.0.2", V::AddressFull,
       "refused 127.0.0.2 on port 1060: already holds 2 connections"},
      {'+', "127.0.0.1", V::Admitted, ""},  // another address still gets in
      {'+', "::1", V::Admitted, ""},
      {'+', "10.0.0.1", V::NotAllowed, "refused 10.0.0.1 on port 1060: not in --allow-remote"},
      {'-', "127.0.0.2", V::Admitted, ""},
      {'+', "127.0.0.2", V::Admitted, ""},  // a place given back is taken again
      {'+', "::1", V::Admitted, ""},
      {'+', "127.0.0.3", V::PortFull, ""},  // all five held: closed without a word
      {'-', "127.0.0.3", V::Admitted, ""},  // holds nothing, gives nothing back
      {'+', "127.0.0.3", V::PortFull, ""},
      {'-', "::1", V::Admitted, ""},
      {'+', "127.0.0.3", V::Admitted, ""},
  };
  for (const Step& s : steps) {
    if (s.what == '-') {
      a.release(peer(s.who));
      continue;
    }
    const V v = a.admit(peer(s.who), 0);
    EXPECT_EQ(v, s.verdict) << s.who;
    EXPECT_EQ(a.refusal_line(v, peer(s.who), 1060), s.line) << s.who;
  }
  EXPECT_EQ(a.held(), 5);
  EXPECT_EQ(a.held_by(peer("127.0.0.2")), 2);
  EXPECT_EQ(a.held_by(peer("10.0.0.1")), 0);
}

TEST(Admission, ReconnectingFlatOutIsThrottledBeforeItHoldsAPlace) {
  Admission a(0, 0);  // unbounded: only the rate counts
  int admitted = 0;
  for (int i = 0; i < 300; ++i)
    if (a.admit(peer("192.0.2.1"), 0) == Admission::Verdict::Admitted) ++admitted;
  EXPECT_EQ(admitted, 200);  // the burst
  const Admission::Verdict v = a.admit(peer("192.0.2.1"), 0);
  EXPECT_EQ(a.refusal_line(v, peer("192.0.2.1"), 502),
            "refused 192.0.2.1 on port 502: more than 100 connections a second");
  EXPECT_EQ(a.admit(peer("192.0.2.1"), 1000), Admission::Verdict::Admitted);
}

}  // namespace
}  // namespace netbuf
