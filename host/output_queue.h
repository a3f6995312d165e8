// Standard output and standard error written off the loop. A terminal paused
// with Ctrl-S or a pipe nobody drains would block a plain write, and with it
// the doors: lines are queued here (bounded) and a thread of their own writes
// them, each in one write(), so no other line can split one. Lines that find
// the queue full are counted, and one line on standard error says how many
// once output moves again.
//
// Each stream has its own queue and writer: a stuck standard output (the
// monitor log into a pipe nobody reads) must not hold back the errors and
// the last line at stop, which go to standard error.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace netbuf {

class OutputQueue {
 public:
  // The process's queue for fd 1 (standard output) or 2 (standard error).
  static OutputQueue& of(int fd);
  // Waits up to timeout_ms in all for both streams to be written: at exit.
  // Returns whether both were.
  static bool drain_all(int timeout_ms);

  // Queues bytes, a whole line or more; never waits.
  void write(std::string bytes);
  // Put in front of the line that reports dropped lines (the journal's level).
  void set_dropped_prefix(std::string prefix);
  // Waits until `deadline` for everything queued to be written.
  bool drain_until(std::chrono::steady_clock::time_point deadline);

  static constexpr std::size_t kMaxBytes = 256 * 1024;

 private:
  explicit OutputQueue(int fd) : fd_(fd) {}
  void run();
  void start();

  const int fd_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::string> lines_;
  std::size_t bytes_ = 0;
  std::size_t dropped_ = 0;
  bool writing_ = false;
  bool started_ = false;
  std::string dropped_prefix_;
};

}  // namespace netbuf
