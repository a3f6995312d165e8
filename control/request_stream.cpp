#include "control/request_stream.h"

namespace netbuf::control {

std::optional<RequestStream::Item> RequestStream::next() {
  if (ended_) return std::nullopt;
  auto frame = cutter_.next();
  if (!frame) {
    if (!cutter_.broken()) return std::nullopt;
    ended_ = true;
    return Item{Step::kBroken, {}};
  }
  const auto m = decode_request(*frame);
  if (!m || (m->kind == Request::kHello) == hello_) {
    ended_ = true;
    return Item{Step::kBroken, {}};
  }
  if (m->kind != Request::kHello) return Item{Step::kRequest, *m};
  if (m->version != kVersion) {
    ended_ = true;
    return Item{Step::kOtherVersion, *m};
  }
  hello_ = true;
  return Item{Step::kHello, *m};
}

}  // namespace netbuf::control
