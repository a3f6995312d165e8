// Index from card code text to the card entries holding it, so that a card
// read costs a hash lookup instead of a scan of 20001 texts.
#pragma once

#include <set>
#include <string>
#include <unordered_map>

namespace netbuf {

class CardIndex {
 public:
  // Room for a full table of distinct codes up front: no rehashing while
  // start-up loads 20001 cards.
  CardIndex() { by_kod_.reserve(20002); }
  // Entries usually arrive in ascending order; the hint makes that O(1).
  void insert(int entry, const std::string& kod) {
    std::set<int>& s = by_kod_[kod];
    s.insert(s.end(), entry);
  }
  void change(int entry, const std::string& old_kod, const std::string& new_kod);
  // Lowest entry in 0..last whose code equals kod exactly, or -1.
  int lowest(const std::string& kod, int last) const;
  void clear() { by_kod_.clear(); }

 private:
  std::unordered_map<std::string, std::set<int>> by_kod_;
};

}  // namespace netbuf
