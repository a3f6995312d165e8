// What one window sends netbuf, taken apart: the byte stream cut into
// frames, each frame read as a request, Hello first and once. Anything else
// (a frame too long or empty, a request this version does not know, one
// that does not fit its kind exactly, a request before Hello, a second
// Hello) ends the stream: the window is closed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "control/control_wire.h"
#include "control/window_messages.h"

namespace netbuf::control {

class RequestStream {
 public:
  enum class Step {
    kHello,         // the window's Hello in this version
    kOtherVersion,  // a Hello in another version: it is told ours, then closed
    kRequest,       // a request after Hello
    kBroken,        // garbage: close it
  };
  struct Item {
    Step step;
    RequestMessage message;
  };

  void feed(std::span<const uint8_t> bytes) { cutter_.feed(bytes); }
  // The next step, or nothing until more bytes come. After kBroken or
  // kOtherVersion, nothing more.
  std::optional<Item> next();
  // Bytes held for a frame not yet whole; at most a frame's bound.
  std::size_t buffered() const { return cutter_.buffered(); }
  bool ended() const { return ended_; }

 private:
  FrameCutter cutter_{kMaxRequestFrame};
  bool hello_ = false;
  bool ended_ = false;
};

}  // namespace netbuf::control
