// What one PC connection has under way: the read being served with the
// cursor on its current frame, the start of a request whose rest is still to
// come, and its requests waiting for their readers. One PC connection is
// served at a time, so there is one of these; when the connection goes,
// reset() forgets all of it at once, and the next PC starts clean.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace netbuf {

inline constexpr int kPcBufferSize = 10004;
inline constexpr int kPcHeldSize = 260;  // the longest Modbus TCP request
inline constexpr int kTxFrameSize = 41;

// Requests of the PC for readers, in the order they came, each sent when it
// is its turn and the line is free.
inline constexpr int kPassQueueSize = 64;
inline constexpr int kPassPerReader = 32;

struct PassRequest {
  std::array<uint8_t, kTxFrameSize> frame{};  // the RTU frame; address and function when len is 0
  int32_t len = 0;                            // 0: no reader slot has the address
  uint8_t tid = 0;                            // the request's transaction identifier, low byte
};

struct PassQueue {
  std::array<PassRequest, kPassQueueSize> items{};
  int32_t head = 0;
  int32_t size = 0;
  PassRequest& at(int i) { return items[static_cast<std::size_t>((head + i) % kPassQueueSize)]; }
};

struct PcRequestState {
  // The read being served, rx_len bytes; pos is where the frame being served
  // starts, and each handler moves it past the frame it took.
  std::array<uint8_t, kPcBufferSize> rx{};
  int32_t rx_len = 0;
  int32_t pos = 0;
  // The start of a request whose rest is still to come (pclink/request_stream.h).
  std::array<uint8_t, kPcHeldSize> held{};
  int32_t held_len = 0;
  int64_t held_since_ms = 0;
  PassQueue passes;

  // The connection is gone: nothing it began may be finished by the next
  // one. The bytes of the last read stay where they are (a reader's late
  // answer is logged under its function code); only their length goes.
  void reset() {
    rx_len = 0;
    pos = 0;
    held_len = 0;
    held_since_ms = 0;
    passes.head = 0;
    passes.size = 0;
  }
};

}  // namespace netbuf
