// The figures an installer reads off a running line: per reader (by its
// RS485 address) what went out and what came back, per line the bytes and
// ticks, per process the decisions, requests, commands, refusals and
// commits. Counters only move forward and start at 0 with the process. Each
// handler adds to them with one call where the thing happens; a scrape or the
// status reads them and never waits for anything.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace netbuf {

enum class FrameKind : uint8_t { Poll, Relay, Buzzer, PassThrough };
inline constexpr int kFrameKinds = 4;

enum class EventOutcome : uint8_t { Granted, UnknownCard, OutsideTimeZone, OutsideGeoZone };
inline constexpr int kEventOutcomes = 4;

enum class RemoteResult : uint8_t { Opened, NoReader, AlreadyPending, Malformed, OverRate };
inline constexpr int kRemoteResults = 5;

enum class FigurePort : uint8_t { Pc, Remote, Metrics };
inline constexpr int kFigurePorts = 3;

enum class Refusal : uint8_t { NotAllowed, ConnectRate, Full, PlacesPerAddress };
inline constexpr int kRefusals = 4;

// Answer times, from the write of a frame to the last byte of its answer. A
// poll and its answer take 13 ms on a 19200-baud line; a reader that needs
// more than 50 ms is slow, more than 250 ms suspect.
inline constexpr std::array<int64_t, 7> kAnswerBucketsMs{10, 15, 20, 30, 50, 100, 250};
// Commit durations: a commit takes milliseconds; one second is a slow disk.
inline constexpr std::array<int64_t, 9> kCommitBucketsMs{5,   10,   25,   50,   100,
                                                         250, 1000, 2500, 10000};

// Observations in buckets of upper bounds (milliseconds), each observation
// counted in its first bucket only; the last slot is above every bound.
template <std::size_t N>
struct Histogram {
  std::array<uint64_t, N + 1> counts{};
  uint64_t sum_ms = 0;
  uint64_t count = 0;

  void observe(int64_t ms, const std::array<int64_t, N>& bounds) {
    ms = ms < 0 ? 0 : ms;
    std::size_t b = 0;
    while (b < N && ms > bounds[b]) ++b;
    ++counts[b];
    sum_ms += static_cast<uint64_t>(ms);
    ++count;
  }
};

// How the last answers awaited from one reader ended: a window of
// kRecentAnswers, so a reader's share of errors says how it does now, not
// since start.
inline constexpr int kRecentAnswers = 100;
enum class Outcome : uint8_t { Good, CrcError, TimedOut };

struct RecentOutcomes {
  std::array<Outcome, kRecentAnswers> ring{};
  int next = 0;
  int filled = 0;
  int crc_errors = 0;
  int timeouts = 0;

  void add(Outcome o);
};

struct ReaderFigures {
  std::array<uint64_t, kFrameKinds> sent{};
  uint64_t answers = 0;     // with a good CRC, exception answers included
  uint64_t exceptions = 0;  // exception answers
  uint64_t crc_errors = 0;
  uint64_t timeouts = 0;     // the line moved on without the awaited answer
  uint64_t stray_bytes = 0;  // noise heard while this reader's answer was awaited
  int64_t last_answer_ms = -1;
  Histogram<kAnswerBucketsMs.size()> answer_time;
  RecentOutcomes recent;
  // The warning about its line was given and its recovery not yet.
  bool warned = false;
  int64_t last_report_ms = -1;
};

struct ProcessFigures {
  uint64_t line_bytes_out = 0;
  uint64_t line_bytes_in = 0;
  uint64_t line_stray_bytes = 0;
  uint64_t ticks = 0;
  uint64_t ticks_line_busy = 0;
  std::array<uint64_t, kEventOutcomes> events{};
  // PC requests by function code (3, 16, 20, 21, anything else), to the
  // buffer itself [0] or passed through to a reader [1].
  std::array<std::array<uint64_t, 5>, 2> pc_requests{};
  std::array<uint64_t, kRemoteResults> remote{};
  std::array<std::array<uint64_t, kRefusals>, kFigurePorts> refused{};
  uint64_t commits = 0;
  uint64_t commits_failed = 0;
  Histogram<kCommitBucketsMs.size()> commit_time;
};

class LineFigures {
 public:
  // Reader line. A frame that went out on an open line; its answer is
  // awaited from now on, and an answer still awaited from before is a
  // time-out: the line has moved on without it.
  void frame_sent(uint8_t address, FrameKind kind, std::size_t bytes, int64_t now_ms);
  // A whole answer with a good CRC was taken, late ones too.
  void answer_taken(uint8_t address, bool exception, int64_t now_ms);
  // The awaited answer came whole from that address: the wait is over, and
  // its length is the answer time. A late answer from another address ends
  // nothing.
  void awaited_answered(uint8_t address, int64_t now_ms);
  void crc_error(uint8_t address);
  // The awaited answer's time ran out.
  void timed_out();
  void bytes_in(std::size_t n) { p_.line_bytes_in += n; }
  // Bytes that belong to no answer.
  void stray(std::size_t n);
  void tick() { ++p_.ticks; }
  void tick_line_busy() { ++p_.ticks_line_busy; }

  // The rest of the process.
  void event_decided(EventOutcome o) { ++p_.events[static_cast<int>(o)]; }
  void pc_request(int function, bool to_reader);
  void remote_command(RemoteResult r) { ++p_.remote[static_cast<int>(r)]; }
  void connection_refused(FigurePort port, Refusal why) {
    ++p_.refused[static_cast<int>(port)][static_cast<int>(why)];
  }
  void commit_ended(bool committed, int64_t duration_ms);

  const ReaderFigures& reader(uint8_t address) const { return readers_[address]; }
  ReaderFigures& reader(uint8_t address) { return readers_[address]; }
  const ProcessFigures& process() const { return p_; }

 private:
  void settle(Outcome o);

  std::array<ReaderFigures, 256> readers_{};
  ProcessFigures p_;
  bool awaiting_ = false;
  uint8_t awaited_ = 0;
  int64_t awaited_since_ms_ = 0;
};

// The PC functions the figures tell apart, as their slot in pc_requests.
int pc_function_slot(int function);
inline constexpr std::array<const char*, 5> kPcFunctionNames{"3", "16", "20", "21", "other"};

}  // namespace netbuf
