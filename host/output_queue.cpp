#include "host/output_queue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace netbuf {

namespace {

// The whole of it, however the descriptor splits it; a failure (a closed
// pipe) drops the rest.
void write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      // A descriptor someone else made non-blocking: wait for it here.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else {
      return;
    }
  }
}

std::string dropped_note(const std::string& prefix, std::size_t n) {
  return prefix + "netbuf: " + std::to_string(n) +
         " lines of output dropped while nobody read them\n";
}

}  // namespace

OutputQueue& OutputQueue::of(int fd) {
  // Never destroyed: a writer may still be inside a write() that a stuck
  // reader holds when the process exits.
  static OutputQueue* out = new OutputQueue(1);
  static OutputQueue* err = new OutputQueue(2);
  return fd == 1 ? *out : *err;
}

bool OutputQueue::drain_all(int timeout_ms) {
  // One deadline for both: a stuck standard output costs the stop no more
  // than the time given, and standard error is written meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const bool err = of(2).drain_until(deadline);
  const bool out = of(1).drain_until(deadline);
  return err && out;
}

void OutputQueue::start() {
  started_ = true;
  std::thread([this] { run(); }).detach();
}

void OutputQueue::write(std::string bytes) {
  {
    const std::lock_guard<std::mutex> lock(m_);
    if (!started_) start();
    if (bytes_ + bytes.size() > kMaxBytes) {
      ++dropped_;
      return;
    }
    bytes_ += bytes.size();
    lines_.push_back(std::move(bytes));
  }
  cv_.notify_all();
}

void OutputQueue::set_dropped_prefix(std::string prefix) {
  const std::lock_guard<std::mutex> lock(m_);
  dropped_prefix_ = std::move(prefix);
}

bool OutputQueue::drain_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_until(lock, deadline, [this] { return lines_.empty() && !writing_; });
}

void OutputQueue::run() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    cv_.wait(lock, [this] { return !lines_.empty(); });
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    writing_ = true;
    lock.unlock();
    write_all(fd_, line);
    lock.lock();
    writing_ = false;
    bytes_ -= line.size();
    // Output moves again: say what it missed, once.
    if (dropped_ > 0) {
      if (fd_ == 2) {
        // Ahead of what waits: it is about the lines before them.
        std::string note = dropped_note(dropped_prefix_, dropped_);
        dropped_ = 0;
        bytes_ += note.size();
        lines_.push_front(std::move(note));
      } else {
        // Standard error's lock is never taken under this one.
        const std::size_t n = dropped_;
        lock.unlock();
        OutputQueue& err = of(2);
        std::string prefix;
        {
          const std::lock_guard<std::mutex> l(err.m_);
          prefix = err.dropped_prefix_;
        }
        err.write(dropped_note(prefix, n));
        lock.lock();
        dropped_ -= std::min(dropped_, n);
      }
    }
    cv_.notify_all();
  }
}

}  // namespace netbuf
