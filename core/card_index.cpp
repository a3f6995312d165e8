#include "core/card_index.h"

#include <bit>

namespace netbuf {

void CardIndex::insert(int entry, const std::string& kod) {
  if (kod.empty()) {
    set_empty(entry, true);
    return;
  }
  // Entries usually arrive in ascending order; the hint makes that O(1).
  std::set<int>& s = by_kod_[kod];
  s.insert(s.end(), entry);
}

void CardIndex::change(int entry, const std::string& old_kod, const std::string& new_kod) {
  if (old_kod == new_kod) return;
  if (old_kod.empty()) {
    set_empty(entry, false);
  } else if (auto it = by_kod_.find(old_kod); it != by_kod_.end()) {
    it->second.erase(entry);
    if (it->second.empty()) by_kod_.erase(it);
  }
  insert(entry, new_kod);
}

int CardIndex::lowest(const std::string& kod, int last) const {
  int first = -1;
  if (kod.empty()) {
    for (size_t w = 0; w < empty_.size() && first < 0; ++w)
      if (empty_[w] != 0) first = static_cast<int>(w * 64) + std::countr_zero(empty_[w]);
  } else if (auto it = by_kod_.find(kod); it != by_kod_.end() && !it->second.empty()) {
    first = *it->second.begin();
  }
  return first >= 0 && first <= last ? first : -1;
}

void CardIndex::set_empty(int entry, bool on) {
  if (entry < 0) return;
  const size_t w = static_cast<size_t>(entry) / 64;
  if (w >= empty_.size()) {
    if (!on) return;
    empty_.resize(w + 1, 0);
  }
  const uint64_t bit = uint64_t{1} << (entry % 64);
  empty_[w] = on ? empty_[w] | bit : empty_[w] & ~bit;
}

}  // namespace netbuf
