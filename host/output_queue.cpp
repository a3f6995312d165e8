#include "host/output_queue.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
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

}  // namespace

OutputQueue& OutputQueue::instance() {
  // Never destroyed: the writer may still be inside a write() that a stuck
  // reader holds when the process exits.
  static OutputQueue* q = new OutputQueue;
  return *q;
}

void OutputQueue::start() {
  started_ = true;
  std::thread([this] { run(); }).detach();
}

void OutputQueue::write(int fd, std::string bytes) {
  {
    const std::lock_guard<std::mutex> lock(m_);
    if (!started_) start();
    if (bytes_ + bytes.size() > kMaxBytes) {
      ++dropped_;
      return;
    }
    bytes_ += bytes.size();
    lines_.emplace_back(fd, std::move(bytes));
  }
  cv_.notify_all();
}

void OutputQueue::set_dropped_prefix(std::string prefix) {
  const std::lock_guard<std::mutex> lock(m_);
  dropped_prefix_ = std::move(prefix);
}

bool OutputQueue::drain(int timeout_ms) {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return lines_.empty() && !writing_; });
}

void OutputQueue::run() {
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    cv_.wait(lock, [this] { return !lines_.empty(); });
    std::pair<int, std::string> line = std::move(lines_.front());
    lines_.pop_front();
    writing_ = true;
    lock.unlock();
    write_all(line.first, line.second);
    lock.lock();
    writing_ = false;
    bytes_ -= line.second.size();
    // Output moves again: say what it missed, once.
    if (dropped_ > 0) {
      const std::string note = dropped_prefix_ + "netbuf: " + std::to_string(dropped_) +
                               " lines of output dropped while nobody read them\n";
      dropped_ = 0;
      bytes_ += note.size();
      lines_.emplace_front(2, note);
    }
    cv_.notify_all();
  }
}

}  // namespace netbuf
