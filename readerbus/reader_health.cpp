#include "readerbus/reader_health.h"

#include <algorithm>
#include <string>

#include "core/log_texts.h"

namespace netbuf {

namespace {

// Of kRecentAnswers awaited answers: this many failed make a poor line, at
// most this many again a good one. Between lines of one reader at least
// kReportSpacingMs, so a line on the edge cannot fill the journal.
constexpr int kPoorFrom = 5;
constexpr int kGoodUpTo = 1;
constexpr int64_t kReportSpacingMs = 60000;

std::string reader_name(const BufferState& st, int address) {
  return "reader " + std::to_string(address) + " (entry " +
         std::to_string(st.find_reader(address)) + ")";
}

}  // namespace

void note_no_answer(Context& ctx, int address) {
  Upkeep& up = ctx.st.upkeep;
  const auto a = static_cast<uint8_t>(address);
  if (up.silent[a]) return;
  if (++up.unanswered[a] < kSilentPolls) return;
  up.silent[a] = true;
  up.say(Severity::Warning, reader_name(ctx.st, a) + texts::kReaderNotAnswering);
}

void note_good_answer(Context& ctx, int address) {
  Upkeep& up = ctx.st.upkeep;
  const auto a = static_cast<uint8_t>(address);
  up.unanswered[a] = 0;
  if (!up.silent[a]) return;
  up.silent[a] = false;
  up.say(Severity::Info, reader_name(ctx.st, a) + texts::kReaderAnswering);
  // Its time-outs while it was silent are said; its line starts afresh.
  ctx.st.figures.reader(a).recent = RecentOutcomes{};
}

void report_line_shares(Context& ctx) {
  BufferState& st = ctx.st;
  const int64_t now = ctx.clock.monotonic_ms();
  const int count = std::clamp(st.reader_count, 0, kReaderCount);
  for (int e = 1; e <= count; ++e) {
    const auto a = static_cast<uint8_t>(st.readers[e].adr485);
    ReaderFigures& f = st.figures.reader(a);
    const RecentOutcomes& r = f.recent;
    if (st.upkeep.silent[a] || r.filled < kRecentAnswers) continue;
    if (f.last_report_ms >= 0 && now - f.last_report_ms < kReportSpacingMs) continue;
    const bool poor = r.crc_errors >= kPoorFrom || r.timeouts >= kPoorFrom;
    const bool good = r.crc_errors <= kGoodUpTo && r.timeouts <= kGoodUpTo;
    if (poor == f.warned || (!poor && !good)) continue;
    f.warned = poor;
    f.last_report_ms = now;
    st.upkeep.say(poor ? Severity::Warning : Severity::Info,
                  reader_name(st, a) + (poor ? texts::kLinePoor : texts::kLineGood) +
                      std::to_string(r.crc_errors) + texts::kLineTimeouts +
                      std::to_string(r.timeouts) + texts::kLineOfLast + std::to_string(r.filled) +
                      texts::kLineAnswers);
  }
}

}  // namespace netbuf
