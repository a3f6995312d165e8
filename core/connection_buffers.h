// The bytes one connection has in flight on our side, and the bounds that
// keep a misbehaving peer from growing our memory: received bytes the logic
// has not read yet (a full buffer stops reading, and the peer waits in TCP
// flow control), and output the socket has not taken yet (a peer that never
// reads its answers runs over a bound and is closed). No sockets here: the
// endpoint moves the bytes between these and its descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace netbuf {

class InputBuffer {
 public:
  // Received bytes one connection may hold before we stop reading from it.
  static constexpr std::size_t kCapacity = 64 * 1024;

  std::size_t unread() const { return tail_ - head_; }
  // Where the next received bytes go; empty when the buffer is full. The
  // memory is taken here, with the first bytes, so a silent connection costs
  // no buffer; bytes read already make room only once the end is reached.
  std::span<uint8_t> room();
  // n bytes were received into room().
  void filled(std::size_t n) { tail_ += n; }
  // Not a byte more fits: stop reading from the peer until some are taken.
  bool full() const { return tail_ == kCapacity && head_ == 0; }
  // Moves the oldest unread bytes into out; returns how many.
  std::size_t take(std::span<uint8_t> out);
  // The connection is gone: its memory too.
  void release();

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  std::size_t head_ = 0, tail_ = 0;  // [head_, tail_) unread
};

class OutputBacklog {
 public:
  // Unsent output one connection may hold before it is closed.
  static constexpr std::size_t kDefaultBound = 64 * 1024;

  std::size_t unsent() const { return bytes_.size() - head_; }
  std::span<const uint8_t> pending() const { return std::span(bytes_).subspan(head_); }
  // Bytes the socket did not take wait here, behind any already waiting.
  void queue(std::span<const uint8_t> bytes);
  // More is waiting than bound: the peer has stopped reading.
  bool over(std::size_t bound) const { return unsent() > bound; }
  // The socket took n of pending(). A backlog once is no reason to hold its
  // memory: emptied, it lets go of it.
  void sent(std::size_t n);
  // The connection is gone: its memory too.
  void release();

 private:
  std::vector<uint8_t> bytes_;
  std::size_t head_ = 0;  // unsent from here on
};

}  // namespace netbuf
