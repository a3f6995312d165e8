// A window's request as a frame again, exactly as a window sends it: what a
// decoded request must turn back into.
#pragma once

#include <string>

#include "control/window_messages.h"

namespace netbuf::control {

inline std::string encode_request(const RequestMessage& m) {
  switch (m.kind) {
    case Request::kHello:
      return hello_request();
    case Request::kCategories:
      return categories_request(m.categories);
    case Request::kSave:
      return save_request(m.form);
    case Request::kPoll:
      return poll_request(m.on);
    case Request::kChoosePort:
      return choose_port_request(m.number);
    default:
      return plain_request(m.kind);
  }
}

}  // namespace netbuf::control
