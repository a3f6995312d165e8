// Index from card code text to the card entries holding it, so that a card
// read costs a hash lookup instead of a scan of 20001 texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace netbuf {

class CardIndex {
 public:
  // Entries 0..entries-1, every one holding the empty code.
  explicit CardIndex(int entries);

  // Indexes every entry at once, entry k holding code_of(k): a table loaded
  // whole is indexed in one pass instead of one change per card.
  template <class CodeOf>
  void rebuild(CodeOf&& code_of) {
    for (int k = 0; k < entries(); ++k) codes_[static_cast<std::size_t>(k)] = code_of(k);
    link_all();
  }
  void change(int entry, const std::string& new_kod);
  // Lowest entry in 0..last whose code equals kod exactly, or -1.
  int lowest(const std::string& kod, int last) const;

 private:
  // One distinct non-empty code: its lowest entry. The others with the same
  // code follow it through next_ in ascending order, and prev_ of the lowest
  // is the highest, so both ends of a group are at hand.
  struct Slot {
    uint32_t hash = 0;
    int32_t head = -1;  // -1: free
  };

  int entries() const { return static_cast<int>(codes_.size()); }
  static uint32_t hash_of(const std::string& kod);
  // The slot holding kod, or the free slot where it would go.
  std::size_t find(const std::string& kod, uint32_t h) const;
  void link_all();
  // Links an entry without a code (as empty) or one that starts a group of
  // its own, and returns nullptr; otherwise the slot of the group it joins,
  // for the caller to link it into.
  Slot* link_alone(int entry);
  void link(int entry);
  void unlink(int entry);
  void erase_slot(std::size_t i);
  void set_empty(int entry, bool on);

  std::vector<std::string> codes_;
  std::vector<int32_t> next_;  // -1 ends a group
  std::vector<int32_t> prev_;
  // Open addressing, linear probing, at most half full.
  std::vector<Slot> slots_;
  std::size_t mask_;
  // Every unused entry holds the empty code: one bit each.
  std::vector<uint64_t> empty_;
};

}  // namespace netbuf
