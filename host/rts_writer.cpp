#include "host/rts_writer.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace netbuf {

namespace {
// A frame the line does not take in this time is given up.
constexpr int kWriteGiveUpMs = 1000;

void set_rts(int fd, bool on) {
  int bit = TIOCM_RTS;
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void pause_ms(int ms) {
  if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000);
}
}  // namespace

void RtsWriter::start(int fd, const Rs485Setup& setup) {
  stop();
  fd_ = fd;
  setup_ = setup;
  stopping_ = false;
  set_rts(fd_, false);
  thread_ = std::thread([this] { run(); });
}

void RtsWriter::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(m_);
    stopping_ = true;
    waiting_.clear();
  }
  wake_.notify_one();
  // A drain stuck on a line that takes no bytes ends when its bytes go.
  tcflush(fd_, TCOFLUSH);
  thread_.join();
  set_rts(fd_, false);
}

void RtsWriter::send(std::span<const uint8_t> frame) {
  {
    std::lock_guard lock(m_);
    if (!thread_.joinable() || waiting_.size() >= kMaxWaiting) return;
    waiting_.emplace_back(frame.begin(), frame.end());
  }
  wake_.notify_one();
}

void RtsWriter::run() {
  for (;;) {
    std::vector<uint8_t> f;
    {
      std::unique_lock lock(m_);
      wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      f = std::move(waiting_.front());
      waiting_.pop_front();
    }
    write_frame(f);
  }
}

void RtsWriter::write_frame(const std::vector<uint8_t>& f) {
  set_rts(fd_, true);
  pause_ms(setup_.before_ms);
  std::size_t done = 0;
  int waited = 0;
  while (done < f.size() && waited < kWriteGiveUpMs) {
    const ssize_t w = ::write(fd_, f.data() + done, f.size() - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd p{fd_, POLLOUT, 0};
    poll(&p, 1, 50);
    waited += 50;
  }
  // RTS must stay up until the last stop bit has left the UART.
  tcdrain(fd_);
  pause_ms(setup_.after_ms);
  set_rts(fd_, false);
}

}  // namespace netbuf
