// Frames for a transceiver switched by RTS: raise RTS, wait BEFORE, write,
// drain (tcdrain), wait AFTER, lower RTS. The drain waits for the line, so
// it runs on a thread of its own; the event loop only hands frames over.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "host/rs485_mode.h"

namespace netbuf {

class RtsWriter {
 public:
  RtsWriter() = default;
  ~RtsWriter() { stop(); }
  RtsWriter(const RtsWriter&) = delete;
  RtsWriter& operator=(const RtsWriter&) = delete;

  // Starts writing to fd (a non-blocking tty), RTS low meanwhile.
  void start(int fd, const Rs485Setup& setup);
  // Throws away what waits, unblocks a drain and joins; before fd is closed.
  void stop();
  // Queues the frame; a line that has stopped taking bytes loses frames
  // beyond kMaxWaiting instead of piling them up.
  void send(std::span<const uint8_t> frame);

 private:
  static constexpr std::size_t kMaxWaiting = 4;
  void run();
  void write_frame(const std::vector<uint8_t>& f);

  int fd_ = -1;
  Rs485Setup setup_;
  std::mutex m_;
  std::condition_variable wake_;
  std::deque<std::vector<uint8_t>> waiting_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace netbuf
