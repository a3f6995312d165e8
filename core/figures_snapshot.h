// The line figures as they stand at one moment, copied out of the buffer
// state: what a scrape renders and what the window's reader table shows.
// Taking one walks 32 readers and copies counters; it reads no file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/line_figures.h"

namespace netbuf {

class BufferState;

struct ReaderRow {
  int address = 0;
  int entry = 0;
  bool answering = false;
  std::array<uint64_t, kFrameKinds> sent{};
  uint64_t answers = 0;
  uint64_t exceptions = 0;
  uint64_t crc_errors = 0;
  uint64_t timeouts = 0;
  uint64_t stray_bytes = 0;
  // Seconds since its last good answer; negative while it has given none.
  double since_answer_s = -1;
  Histogram<kAnswerBucketsMs.size()> answer_time;
  // The mean answer time in milliseconds, 0 without answers.
  double mean_answer_ms() const;
};

struct FiguresSnapshot {
  std::string instance;
  std::vector<ReaderRow> readers;  // configured readers, by entry, one row per address
  ProcessFigures process;
  std::size_t events_waiting = 0;  // decided, not yet in net.db
};

FiguresSnapshot take_figures(const BufferState& st, int64_t now_ms);

// Of the answers that came lately to frames awaited from the configured
// readers, the share that failed their CRC, in percent; negative while none came.
double recent_crc_error_percent(const BufferState& st);

}  // namespace netbuf
