#include "core/port_admission.h"

namespace netbuf {

Refusal refusal_of(Admission::Verdict v) {
  switch (v) {
    case Admission::Verdict::NotAllowed:
      return Refusal::NotAllowed;
    case Admission::Verdict::TooFast:
      return Refusal::ConnectRate;
    case Admission::Verdict::AddressFull:
      return Refusal::PlacesPerAddress;
    default:
      return Refusal::Full;
  }
}

std::vector<std::string> PortAdmission::refused(Admission::Verdict v, const Address16& peer,
                                                int port, int64_t now_ms) {
  count(refusal_of(v));
  const std::string line = admission_.refusal_line(v, peer, port);
  if (line.empty()) return {};
  return reports_.offer(line, now_ms);
}

}  // namespace netbuf
