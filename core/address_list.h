// Which peers may use a port: IPv4 and IPv6 addresses and CIDR blocks, as
// the installer writes them ("192.0.2.10,10.1.0.0/16,2001:db8::/32"). An
// IPv4 peer reaching a dual-stack socket arrives as ::ffff:a.b.c.d and is
// matched as the IPv4 address it is.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netbuf {

// An address as 16 bytes; IPv4 as ::ffff:a.b.c.d.
using Address16 = std::array<uint8_t, 16>;

class AddressList {
 public:
  // Parses a comma-separated list (blanks around entries allowed). Returns
  // nothing and sets `error` to the offending entry's text when an entry is
  // neither an address nor a block with a prefix length in range, or when
  // the list is empty.
  static std::optional<AddressList> parse(std::string_view text, std::string& error);

  bool allows(const Address16& peer) const;
  // The list as given, normalised ("192.0.2.0/24,::1/128"), for the journal.
  const std::string& text() const { return text_; }

 private:
  struct Block {
    Address16 net{};
    int prefix = 0;  // of the 128 bits
  };
  std::vector<Block> blocks_;
  std::string text_;
};

// Where a port listens, as the installer writes it: "127.0.0.1:9108",
// "[::1]:9108", "0.0.0.0:9108" or "[::]:9108" (every address of both
// families). Nothing when it is none of these or the port is not 1..65535.
struct ListenAddress {
  Address16 address{};
  bool v4 = false;  // address is IPv4 (mapped)
  int port = 0;
  std::string text;  // as given, for the journal
};
std::optional<ListenAddress> parse_listen_address(std::string_view text);

// The text of one address as netbuf shows peers: IPv4 (and IPv4-mapped) in
// dotted decimal, IPv6 in its short form.
std::string address_text(const Address16& a);

}  // namespace netbuf
