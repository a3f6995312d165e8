// Standard output and standard error written off the loop. A terminal paused
// with Ctrl-S or a pipe nobody drains would block a plain write, and with it
// the doors: lines are queued here (bounded) and a thread of their own writes
// them, each in one write(), so no other line can split one. Lines that find
// the queue full are counted, and one line says how many once output moves
// again.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

namespace netbuf {

class OutputQueue {
 public:
  // The process's one queue: standard output and error are the process's.
  static OutputQueue& instance();

  // Queues bytes for fd 1 or 2, a whole line or more; never waits.
  void write(int fd, std::string bytes);
  // Put in front of the line that reports dropped lines (the journal's level).
  void set_dropped_prefix(std::string prefix);
  // Waits up to timeout_ms for everything queued to be written: at exit.
  bool drain(int timeout_ms);

  static constexpr std::size_t kMaxBytes = 256 * 1024;

 private:
  OutputQueue() = default;
  void run();
  void start();

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::pair<int, std::string>> lines_;
  std::size_t bytes_ = 0;
  std::size_t dropped_ = 0;
  bool writing_ = false;
  bool started_ = false;
  std::string dropped_prefix_;
};

}  // namespace netbuf
