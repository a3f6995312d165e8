// The reader line as its tests watch it: frames written out as text, and the
// poll timer run tick by tick.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/hex_text.h"
#include "readerbus/poll_cycle.h"
#include "tests/unit/fakes.h"

namespace netbuf::testing {

// {0x01, 0x03, 0x0A} -> "01 03 0A"
inline std::string wire_text(std::span<const uint8_t> b) {
  return hex_bytes(b, " ").substr(1);
}

// The frame written since the line held `before` frames, "-" for none.
inline std::string written_since(const FakeWorld& w, size_t before) {
  return w.serial.sent.size() == before ? "-" : wire_text(w.serial.sent.back());
}

// What each of n poll ticks writes, "-" for a tick without a frame.
inline std::vector<std::string> poll_ticks(FakeWorld& w, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    // A tick apart: a silent reader's response time-out has run out.
    w.clock.mono += w.window.poll_ms;
    const size_t before = w.serial.sent.size();
    on_poll_tick(w.ctx);
    out.push_back(written_since(w, before));
  }
  return out;
}

}  // namespace netbuf::testing
