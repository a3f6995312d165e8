// Who gets a place on a listening port. A port holds so many connections at
// once, and one address only a few of them: a host that errs (a script that
// opens connections and never uses them, a client that leaks one per
// command) fills its own share and no more, so the others still get in.
// Decided here, without sockets, so that every port decides the same way.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/address_list.h"
#include "core/rate_limit.h"

namespace netbuf {

class Admission {
 public:
  enum class Verdict { Admitted, PortFull, NotAllowed, TooFast, AddressFull };

  // places: connections the port holds at once; per_address: how many of
  // them one address may hold. 0 leaves either unbounded.
  Admission(int places, int per_address) : places_(places), per_address_(per_address) {}

  // Who may connect; without a list, everyone. `option` names the setting
  // that gives the list, for the refusal line.
  void set_allowed(std::optional<AddressList> list, std::string option);

  // A peer connects at now_ms (monotonic); an admitted one holds a place
  // until release().
  Verdict admit(const Address16& peer, int64_t now_ms);
  void release(const Address16& peer);

  // The line that says why peer was refused on port, for the journal; empty
  // for a full port, whose refusals are not news.
  std::string refusal_line(Verdict v, const Address16& peer, int port) const;

 private:
  int places_;
  int per_address_;
  int held_ = 0;
  std::map<Address16, int> by_address_;  // addresses holding a place only
  std::optional<AddressList> allowed_;
  std::string allow_option_;
  // A peer reconnecting flat out is turned away before it costs a
  // connection's events; a client that connects for every command stays
  // far below this.
  AddressThrottle accepts_{100, 200};
};

}  // namespace netbuf
