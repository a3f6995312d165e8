#include "core/address_list.h"

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

TEST(AddressList, ParsesEntriesAndMatchesPeersOfBothFamilies) {
  struct Case {
    const char* list;
    const char* shown;
    std::vector<const char*> allowed, refused;
  };
  const Case cases[] = {
      {"192.0.2.10", "192.0.2.10/32", {"192.0.2.10"}, {"192.0.2.11", "::1", "::192.0.2.10"}},
      // Host bits in a block are dropped; blanks around entries are allowed.
      {" 10.1.2.3/16 , 127.0.0.0/8",
       "10.1.0.0/16,127.0.0.0/8",
       {"10.1.255.1", "127.0.0.2"},
       {"10.2.0.1", "128.0.0.1"}},
      {"192.0.2.0/25", "192.0.2.0/25", {"192.0.2.127"}, {"192.0.2.128"}},
      {"0.0.0.0/0", "0.0.0.0/0", {"1.2.3.4", "255.255.255.255"}, {"::1", "2001:db8::1"}},
      {"::1", "::1/128", {"::1"}, {"127.0.0.1", "::2"}},
      {"2001:db8::/33,::ffff:0:0/96",
       "2001:db8::/33,::ffff:0.0.0.0/96",
       {"2001:db8:7fff::5", "203.0.113.9"},
       {"2001:db8:8000::1", "2001:db9::1"}},
      {"::/0", "::/0", {"::1", "127.0.0.1"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    std::string error;
    const auto list = AddressList::parse(c.list, error);
    ASSERT_TRUE(list) << error;
    EXPECT_EQ(list->text(), c.shown);
    for (const char* a : c.allowed) EXPECT_TRUE(list->allows(peer(a))) << a;
    for (const char* a : c.refused) EXPECT_FALSE(list->allows(peer(a))) << a;
  }
}

TEST(AddressList, RefusesWhatIsNoAddressOrBlockNamingTheEntry) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "empty entry"},
      {"192.0.2.1,", "empty entry"},
      {"192.0.2.256", "192.0.2.256"},
      {"192.0.2.1/33", "192.0.2.1/33"},
      {"::1/129", "::1/129"},
      {"10.0.0.0/", "10.0.0.0/"},
      {"10.0.0.0/-1", "10.0.0.0/-1"},
      {"10.0.0.0/8x", "10.0.0.0/8x"},
      {"host.example", "host.example"},
      {"192.0.2.1 192.0.2.2", "192.0.2.1 192.0.2.2"},
  };
  for (const auto& [text, named] : cases) {
    std::string error;
    EXPECT_FALSE(AddressList::parse(text, error)) << text;
    EXPECT_EQ(error, named) << text;
  }
}

TEST(AddressList, ShowsPeersAsTheJournalNamesThem) {
  EXPECT_EQ(address_text(peer("127.0.0.1")), "127.0.0.1");
  EXPECT_EQ(address_text(peer("::1")), "::1");
  EXPECT_EQ(address_text(peer("2001:db8::a:1")), "2001:db8::a:1");
}

}  // namespace
}  // namespace netbuf
