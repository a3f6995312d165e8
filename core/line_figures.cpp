#include "core/line_figures.h"

namespace netbuf {

void RecentOutcomes::add(Outcome o) {
  if (filled == kRecentAnswers) {
    const Outcome old = ring[next];
    crc_errors -= old == Outcome::CrcError;
    timeouts -= old == Outcome::TimedOut;
  } else {
    ++filled;
  }
  ring[next] = o;
  crc_errors += o == Outcome::CrcError;
  timeouts += o == Outcome::TimedOut;
  next = (next + 1) % kRecentAnswers;
}

void LineFigures::settle(Outcome o) {
  if (!awaiting_) return;
  awaiting_ = false;
  ReaderFigures& r = readers_[awaited_];
  if (o == Outcome::TimedOut) ++r.timeouts;
  r.recent.add(o);
}

void LineFigures::frame_sent(uint8_t address, FrameKind kind, std::size_t bytes, int64_t now_ms) {
  if (bytes == 0) return;  // nothing went out, nothing is awaited
  settle(Outcome::TimedOut);
  ++readers_[address].sent[static_cast<int>(kind)];
  p_.line_bytes_out += bytes;
  awaiting_ = true;
  awaited_ = address;
  awaited_since_ms_ = now_ms;
}

void LineFigures::answer_taken(uint8_t address, bool exception, int64_t now_ms) {
  ReaderFigures& r = readers_[address];
  ++r.answers;
  r.exceptions += exception;
  r.last_answer_ms = now_ms;
}

void LineFigures::awaited_answered(uint8_t address, int64_t now_ms) {
  if (!awaiting_ || awaited_ != address) return;
  readers_[address].answer_time.observe(now_ms - awaited_since_ms_, kAnswerBucketsMs);
  settle(Outcome::Good);
}

void LineFigures::crc_error(uint8_t address) {
  ++readers_[address].crc_errors;
  if (awaiting_ && awaited_ == address) settle(Outcome::CrcError);
}

void LineFigures::timed_out() {
  settle(Outcome::TimedOut);
}

void LineFigures::stray(std::size_t n) {
  p_.line_stray_bytes += n;
  if (awaiting_) readers_[awaited_].stray_bytes += n;
}

int pc_function_slot(int function) {
  switch (function) {
    case 3:
      return 0;
    case 16:
      return 1;
    case 20:
      return 2;
    case 21:
      return 3;
    default:
      return 4;
  }
}

void LineFigures::pc_request(int function, bool to_reader) {
  ++p_.pc_requests[to_reader ? 1 : 0][static_cast<std::size_t>(pc_function_slot(function))];
}

void LineFigures::commit_ended(bool committed, int64_t duration_ms) {
  ++(committed ? p_.commits : p_.commits_failed);
  p_.commit_time.observe(duration_ms, kCommitBucketsMs);
}

}  // namespace netbuf
