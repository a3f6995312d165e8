#include "core/buffer_state.h"

namespace netbuf {

BufferState::BufferState() : cards(kCardCount), card_index_(kCardCount) {}

void BufferState::set_reg(int a, int32_t v) {
  if (!valid_register(a)) return;
  registers[a].val = v;
  registers[a].dirty = 1;
}

int32_t BufferState::reg_pair(int hi) const {
  uint32_t v = static_cast<uint32_t>(reg(hi)) * 65536u + static_cast<uint32_t>(reg(hi + 1));
  return static_cast<int32_t>(v);
}

void BufferState::set_card_kod(int k, std::string kod) {
  if (!valid_card(k)) return;
  card_index_.change(k, kod);
  cards[k].kod = std::move(kod);
}

void BufferState::index_cards() {
  card_index_.rebuild([this](int k) -> const std::string& { return cards[k].kod; });
}

void command_reader(ReaderEntry& r, Action a) {
  if (a != kActionRelay && r.action == kActionRelay) return;
  // A PC frame parked here is given up; one already on the line keeps its
  // answer's way to the PC (the line waits for that answer anyway).
  if (r.action == kActionForward && r.tx_len > 0) {
    r.pc_wait = 0;
    r.tx_len = 0;
    r.hold_off = 0;
  }
  r.action = a;
  r.command_due = 1;
}

bool door_command_pending(const ReaderEntry& r) {
  return r.action == kActionRelay || r.action == kActionBuzzerN || r.action == kActionBuzzerS ||
         r.sent != kActionNone;
}

int BufferState::find_reader(int address) const {
  // From the top down: the first match is the highest.
  const int count = reader_count < kReaderCount ? reader_count : kReaderCount;
  for (int e = count; e >= 1; --e)
    if (readers[e].adr485 == address) return e;
  return 0;
}

}  // namespace netbuf
