#include "core/figures_snapshot.h"

#include <algorithm>

#include "core/buffer_state.h"

namespace netbuf {

namespace {

// Configured readers, one per address: two entries with one address are one
// reader on the wire.
template <class F>
void each_configured_address(const BufferState& st, F&& f) {
  std::array<bool, 256> seen{};
  const int count = std::clamp(st.reader_count, 0, kReaderCount);
  for (int e = 1; e <= count; ++e) {
    const auto a = static_cast<uint8_t>(st.readers[e].adr485);
    if (seen[a]) continue;
    seen[a] = true;
    f(e, a);
  }
}

}  // namespace

double ReaderRow::mean_answer_ms() const {
  return answer_time.count == 0
             ? 0.0
             : static_cast<double>(answer_time.sum_ms) / static_cast<double>(answer_time.count);
}

FiguresSnapshot take_figures(const BufferState& st, int64_t now_ms) {
  FiguresSnapshot s;
  s.instance = st.upkeep.instance;
  s.process = st.figures.process();
  s.events_waiting = st.upkeep.waiting_events.size();
  s.readers.reserve(kReaderCount);
  each_configured_address(st, [&](int e, uint8_t a) {
    const ReaderFigures& f = st.figures.reader(a);
    ReaderRow r;
    r.address = a;
    r.entry = e;
    r.answering = !st.upkeep.silent[a];
    r.sent = f.sent;
    r.answers = f.answers;
    r.exceptions = f.exceptions;
    r.crc_errors = f.crc_errors;
    r.timeouts = f.timeouts;
    r.stray_bytes = f.stray_bytes;
    if (f.last_answer_ms >= 0)
      r.since_answer_s =
          static_cast<double>(std::max<int64_t>(now_ms - f.last_answer_ms, 0)) / 1000;
    r.answer_time = f.answer_time;
    s.readers.push_back(r);
  });
  return s;
}

double recent_crc_error_percent(const BufferState& st) {
  int came = 0, crc = 0;
  each_configured_address(st, [&](int, uint8_t a) {
    const RecentOutcomes& r = st.figures.reader(a).recent;
    // A silent reader's time-outs are no answers: they would hide the share.
    came += r.filled - r.timeouts;
    crc += r.crc_errors;
  });
  return came == 0 ? -1.0 : 100.0 * crc / came;
}

}  // namespace netbuf
