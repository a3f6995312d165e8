// The remote-control port: commands arriving in pieces on up to three
// connections, reads served as the platform raises them, and the idle
// supervision closing and the platform dropping connections in between.
//
// Input: records of one control byte. Bits 0-1 = 3: bits 2-7 supervision
// ticks, then closed connections go. Otherwise bits 0-1 name the connection
// (a new one when it does not exist yet), the next byte is the length (times
// 8 with bit 7, so a read can exceed the 1004-byte buffer), the bytes follow,
// and unless bit 6 is set the read event is raised.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <vector>

#include "fuzz_support.h"
#include "service/command_stream.h"
#include "service/remote_control.h"

namespace netbuf::fuzz {
namespace {

constexpr int kIdleTicks = 100;

struct Target {
  FuzzWorld fw;
  Target() {
    BufferState& st = fw.st();
    st.registers[kRegReaderSlots] = Register{0x0500, 0};
    st.registers[kRegReaderSlots + 4] = Register{0x0201, 0};
    st.registers[kRegReaderSlots + 8] = Register{0x0500, 0};  // a second entry at 5
    fw.snapshot();
  }
};

// Answers are "OK", whole, and only ever that.
void check_answers(const testing::FakeEndpoint& service) {
  for (const auto& c : service.conns) {
    NETBUF_FUZZ_CHECK(c.out.size() % 2 == 0);
    for (size_t i = 0; i < c.out.size(); i += 2)
      NETBUF_FUZZ_CHECK(c.out[i] == 'O' && c.out[i + 1] == 'K');
  }
}

}  // namespace
}  // namespace netbuf::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf;
  auto [t, w] = fuzz::target_for_input<fuzz::Target>();
  w.service.conns.clear();
  fuzz::Cursor in(data, size);

  while (!in.empty()) {
    const uint8_t c = in.u8();
    const int i = c & 3;
    if (i == 3) {
      for (int k = 0; k < (c >> 2); ++k) service_supervision_tick(w.ctx);
      fuzz::check_answers(w.service);
      w.service.reap();
      continue;
    }
    size_t len = in.u8();
    if (c & 0x80) len *= 8;
    const std::vector<uint8_t> bytes = in.bytes(len);
    // Names past the open connections open the next one (never a fourth).
    const int conn = std::min(i, w.service.connection_count());
    if (conn == w.service.connection_count()) {
      w.service.conns.emplace_back();
      on_service_connect(w.ctx, conn);
    }
    w.service.feed(conn, bytes);
    if (c & 0x40) continue;

    const size_t before = w.service.conns[conn].in.size();
    // Malformed commands are reported, never thrown past the handler.
    on_service_read(w.ctx);
    // A read takes at most what the buffer holds, unless the connection is
    // over its command rate: then what waits is dropped, a bounded amount.
    NETBUF_FUZZ_CHECK(before - w.service.conns[conn].in.size() <= 64 * kServiceBufferSize);
    for (const auto& c : w.service.conns) {
      NETBUF_FUZZ_CHECK(c.state.idle_ticks >= 0 && c.state.idle_ticks <= fuzz::kIdleTicks);
      // What waits for its "$" stays within its bound.
      NETBUF_FUZZ_CHECK(c.state.partial_command.size() <= kMaxPartialCommand);
    }
  }
  fuzz::check_answers(w.service);
  fuzz::check_lines_written(w);
  t.fw.check_bounds();
  return 0;
}
