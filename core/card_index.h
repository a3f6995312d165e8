// Index from card code text to the card entries holding it, so that a card
// read costs a hash lookup instead of a scan of 20001 texts.
#pragma once

#include <set>
#include <string>
#include <unordered_map>

namespace netbuf {

class CardIndex {
 public:
  void insert(int entry, const std::string& kod) { by_kod_[kod].insert(entry); }
  void change(int entry, const std::string& old_kod, const std::string& new_kod);
  // Lowest entry in 0..last whose code equals kod exactly, or -1.
  int lowest(const std::string& kod, int last) const;
  void clear() { by_kod_.clear(); }

 private:
  std::unordered_map<std::string, std::set<int>> by_kod_;
};

}  // namespace netbuf
