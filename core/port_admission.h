// One listening port's door: who gets a place (core/admission.h), and what
// is made of those turned away. Every refusal is counted in the line
// figures; those that are news (not a full port) are said in a line, and a
// scan or a peer reconnecting flat out comes out as a few lines and a count,
// not one per connection. No sockets and no clock of its own: the endpoint
// hands in the peer and the time, and writes out the lines it gets back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/address_list.h"
#include "core/admission.h"
#include "core/line_figures.h"
#include "core/report_limiter.h"

namespace netbuf {

// How a refusal is counted in the line figures.
Refusal refusal_of(Admission::Verdict v);

class PortAdmission {
 public:
  PortAdmission(int places, int per_address) : admission_(places, per_address) {}

  void set_allowed(std::optional<AddressList> list, std::string option) {
    admission_.set_allowed(std::move(list), std::move(option));
  }
  // Where refusals are counted, as which port; nowhere until set.
  void set_figures(LineFigures* figures, FigurePort port) {
    figures_ = figures;
    figure_port_ = port;
  }

  // A peer connects at now_ms (monotonic); an admitted one holds a place
  // until release().
  Admission::Verdict admit(const Address16& peer, int64_t now_ms) {
    return admission_.admit(peer, now_ms);
  }
  void release(const Address16& peer) { admission_.release(peer); }

  // Counts a refusal of peer on port and returns the lines to say now.
  std::vector<std::string> refused(Admission::Verdict v, const Address16& peer, int port,
                                   int64_t now_ms);
  // A refusal made above the door (the port's own limits), counted with the rest.
  void count(Refusal why) {
    if (figures_) figures_->connection_refused(figure_port_, why);
  }
  // Lines held back: call flush() every interval while holding().
  bool holding() const { return reports_.holding(); }
  int64_t flush_interval_ms() const { return reports_.interval_ms(); }
  std::vector<std::string> flush(int64_t now_ms) { return reports_.flush(now_ms); }

 private:
  Admission admission_;
  LineFigures* figures_ = nullptr;
  FigurePort figure_port_ = FigurePort::Pc;
  ReportLimiter reports_{10000, 4};
};

}  // namespace netbuf
