// Index from card code text to the card entries holding it, so that a card
// read costs a hash lookup instead of a scan of 20001 texts.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace netbuf {

class CardIndex {
 public:
  // Room for a full table of distinct codes up front: no rehashing while
  // start-up loads 20001 cards.
  CardIndex() { by_kod_.reserve(20002); }
  void insert(int entry, const std::string& kod);
  void change(int entry, const std::string& old_kod, const std::string& new_kod);
  // Lowest entry in 0..last whose code equals kod exactly, or -1.
  int lowest(const std::string& kod, int last) const;

 private:
  void set_empty(int entry, bool on);

  // Every unused entry holds the empty code: one bit each rather than a tree
  // node each, which start-up would build for 20001 entries only to take
  // them apart again as the cards load.
  std::vector<uint64_t> empty_;
  std::unordered_map<std::string, std::set<int>> by_kod_;
};

}  // namespace netbuf
