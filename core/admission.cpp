#include "core/admission.h"

namespace netbuf {

void Admission::set_allowed(std::optional<AddressList> list, std::string option) {
  allowed_ = std::move(list);
  allow_option_ = std::move(option);
}

Admission::Verdict Admission::admit(const Address16& peer, int64_t now_ms) {
  if (places_ > 0 && held_ >= places_) return Verdict::PortFull;
  if (allowed_ && !allowed_->allows(peer)) return Verdict::NotAllowed;
  if (!accepts_.allow(peer, now_ms)) return Verdict::TooFast;
  int& mine = by_address_[peer];
  if (per_address_ > 0 && mine >= per_address_) return Verdict::AddressFull;
  ++mine;
  ++held_;
  return Verdict::Admitted;
}

void Admission::release(const Address16& peer) {
  const auto it = by_address_.find(peer);
  if (it == by_address_.end()) return;
  --held_;
  if (--it->second <= 0) by_address_.erase(it);
}

std::string Admission::refusal_line(Verdict v, const Address16& peer, int port) const {
  const std::string head = "refused " + address_text(peer) + " on port " + std::to_string(port);
  switch (v) {
    case Verdict::NotAllowed:
      return head + ": not in " + allow_option_;
    case Verdict::TooFast:
      return head + ": more than 100 connections a second";
    case Verdict::AddressFull:
      return head + ": already holds " + std::to_string(per_address_) + " connections";
    case Verdict::Admitted:
    case Verdict::PortFull:
      break;
  }
  return {};
}

}  // namespace netbuf
