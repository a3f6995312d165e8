#include "core/card_index.h"

#include <algorithm>
#include <bit>
#include <functional>

namespace netbuf {

CardIndex::CardIndex(int entries)
    : codes_(static_cast<std::size_t>(std::max(entries, 0))),
      next_(codes_.size(), -1),
      prev_(codes_.size(), -1),
      slots_(std::bit_ceil(std::max<std::size_t>(2 * codes_.size(), 2))),
      mask_(slots_.size() - 1),
      empty_((codes_.size() + 63) / 64, 0) {
  for (int k = 0; k < this->entries(); ++k) set_empty(k, true);
}

uint32_t CardIndex::hash_of(const std::string& kod) {
  const std::size_t h = std::hash<std::string>{}(kod);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

std::size_t CardIndex::find(const std::string& kod, uint32_t h) const {
  std::size_t i = h & mask_;
  while (slots_[i].head >= 0) {
    const Slot& s = slots_[i];
    if (s.hash == h && codes_[static_cast<std::size_t>(s.head)] == kod) return i;
    i = (i + 1) & mask_;
  }
  return i;
}

void CardIndex::link_all() {
  std::fill(slots_.begin(), slots_.end(), Slot{});
  std::fill(empty_.begin(), empty_.end(), 0);
  // From the top down, so every entry goes in front of its group and the
  // groups come out in ascending order without a search.
  for (int k = entries() - 1; k >= 0; --k) {
    Slot* const s = link_alone(k);
    if (s == nullptr) continue;
    next_[k] = s->head;
    prev_[k] = prev_[s->head];
    prev_[s->head] = k;
    s->head = k;
  }
}

CardIndex::Slot* CardIndex::link_alone(int e) {
  const std::string& kod = codes_[static_cast<std::size_t>(e)];
  if (kod.empty()) {
    set_empty(e, true);
    return nullptr;
  }
  const uint32_t h = hash_of(kod);
  Slot& s = slots_[find(kod, h)];
  if (s.head < 0) {
    s = {h, e};
    next_[e] = -1;
    prev_[e] = e;
    return nullptr;
  }
  return &s;
}

void CardIndex::link(int e) {
  Slot* const group = link_alone(e);
  if (group == nullptr) return;
  Slot& s = *group;
  const int head = s.head;
  const int tail = prev_[head];
  if (e < head) {
    next_[e] = head;
    prev_[e] = tail;
    prev_[head] = e;
    s.head = e;
    return;
  }
  if (e > tail) {
    next_[tail] = e;
    next_[e] = -1;
    prev_[e] = tail;
    prev_[head] = e;
    return;
  }
  // Somewhere inside: searched from both ends at once, so a group filled or
  // emptied in ascending or descending order costs a step or two.
  auto insert_after = [this, e](int a) {
    const int n = next_[a];
    next_[a] = e;
    prev_[e] = a;
    next_[e] = n;
    prev_[n] = e;
  };
  for (int a = head, b = tail;; a = next_[a], b = prev_[b]) {
    if (next_[a] > e) return insert_after(a);
    if (prev_[b] < e) return insert_after(prev_[b]);
  }
}

void CardIndex::unlink(int e) {
  const std::string& kod = codes_[static_cast<std::size_t>(e)];
  if (kod.empty()) {
    set_empty(e, false);
    return;
  }
  const std::size_t i = find(kod, hash_of(kod));
  Slot& s = slots_[i];
  const int n = next_[e];
  if (s.head == e) {
    if (n < 0) {
      erase_slot(i);
    } else {
      prev_[n] = prev_[e];
      s.head = n;
    }
    return;
  }
  const int p = prev_[e];
  next_[p] = n;
  if (n >= 0) {
    prev_[n] = p;
  } else {
    prev_[s.head] = p;  // the group's new highest
  }
}

// Linear probing without tombstones: the slots after a freed one move back
// when their home is not between the two.
void CardIndex::erase_slot(std::size_t i) {
  for (std::size_t j = (i + 1) & mask_; slots_[j].head >= 0; j = (j + 1) & mask_) {
    const std::size_t home = slots_[j].hash & mask_;
    const bool stays = i < j ? (home > i && home <= j) : (home > i || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    i = j;
  }
  slots_[i] = Slot{};
}

void CardIndex::change(int entry, const std::string& new_kod) {
  if (entry < 0 || entry >= entries()) return;
  std::string& kod = codes_[static_cast<std::size_t>(entry)];
  if (kod == new_kod) return;
  unlink(entry);
  kod = new_kod;
  link(entry);
}

int CardIndex::lowest(const std::string& kod, int last) const {
  int first = -1;
  if (kod.empty()) {
    for (size_t w = 0; w < empty_.size() && first < 0; ++w)
      if (empty_[w] != 0) first = static_cast<int>(w * 64) + std::countr_zero(empty_[w]);
  } else {
    first = slots_[find(kod, hash_of(kod))].head;
  }
  return first >= 0 && first <= last ? first : -1;
}

void CardIndex::set_empty(int entry, bool on) {
  const size_t w = static_cast<size_t>(entry) / 64;
  const uint64_t bit = uint64_t{1} << (entry % 64);
  empty_[w] = on ? empty_[w] | bit : empty_[w] & ~bit;
}

}  // namespace netbuf
