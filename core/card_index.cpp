#include "core/card_index.h"

namespace netbuf {

void CardIndex::change(int entry, const std::string& old_kod, const std::string& new_kod) {
  if (old_kod == new_kod) return;
  if (auto it = by_kod_.find(old_kod); it != by_kod_.end()) {
    it->second.erase(entry);
    if (it->second.empty()) by_kod_.erase(it);
  }
  insert(entry, new_kod);
}

int CardIndex::lowest(const std::string& kod, int last) const {
  auto it = by_kod_.find(kod);
  if (it == by_kod_.end() || it->second.empty()) return -1;
  int first = *it->second.begin();
  return first <= last ? first : -1;
}

}  // namespace netbuf
