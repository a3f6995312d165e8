#include "readerbus/answer_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/hex_text.h"
#include "readerbus/rtu_frames.h"
#include "tests/unit/byte_vectors.h"

namespace netbuf {
namespace {

using testing::Bytes;
using testing::hex;

// Answers as the line delivers them:
//   F16 = 01 10 | 00 96 | 00 01 | E1 E5: address 1, write acknowledged
//         (start register 150, one register), CRC.
//   F03 = 01 03 | 0A | 00 00 00 00 01 02 03 04 05 06 | 9E 70: address 1,
//         10 data bytes (status, spare, card code), CRC.
//   EXC = 01 83 02 C0 F1: an exception answer, which nobody takes.
constexpr const char* kF16 = "01 10 00 96 00 01 E1 E5";
constexpr const char* kF03 = "01 03 0A 00 00 00 00 01 02 03 04 05 06 9E 70";

// Chunks fed one by one, each followed by one take of function 3 and one of
// 16, as the line handler does; the answers taken and the bytes left held.
TEST(AnswerFramer, CutsAnswersOutOfNoiseAndChunks) {
  struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    std::vector<std::string> taken;
    int held;
  };
  const std::string f03 = kF03, f16 = kF16;
  const Case cases[] = {
      {"noise before", {hex("FF 00 " + f16)}, {f16}, 0},
      {"split over chunks",
       {hex("01 03 0A 00 00 00 00"), hex("01 02 03 04 05 06 9E 70")},
       {f03},
       0},
      {"exception skipped", {hex("01 83 02 C0 F1 " + f16)}, {f16}, 0},
      // 0x14 data bytes from address 1, which no PC waits at: noise.
      {"long read nobody asked for", {hex("01 03 14 " + f03)}, {f03}, 0},
      {"one of each kind per chunk", {hex(f03 + " " + f16 + " " + f16)}, {f03, f16}, 8},
      {"a read behind a write waits", {hex(f16 + " " + f03)}, {f16}, 15},
      // 3 held + 254 is past the longest answer: everything goes.
      {"overflow starts clean", {hex("01 10 00"), Bytes(254, 0x01)}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BufferState st;
    st.reader_count = 1;
    st.readers[1].adr485 = 1;
    std::vector<std::string> taken;
    for (const Bytes& chunk : c.chunks) {
      if (!feed_answer_bytes(st, chunk)) continue;
      for (uint8_t fn : {kFnReadHolding, kFnWriteMultiple})
        if (const auto a = next_answer(st, fn))
          taken.push_back(hex_bytes(a->view(), " ").substr(1));
    }
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(st.rx_len, c.held);
  }
}

}  // namespace
}  // namespace netbuf
