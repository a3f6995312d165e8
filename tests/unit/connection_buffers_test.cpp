#include "core/connection_buffers.h"

#include <gtest/gtest.h>

#include <vector>

namespace netbuf {
namespace {

// A peer that sends faster than it is served fills its buffer and is no
// longer read; what the logic takes makes room again, once the end is reached.
TEST(InputBuffer, StopsReadingWhenFullAndResumesWhatWasTaken) {
  InputBuffer in;
  std::size_t total = 0;
  for (uint8_t k = 0; !in.full(); ++k) {
    const auto room = in.room();
    ASSERT_FALSE(room.empty());
    const std::size_t n = std::min<std::size_t>(room.size(), 1000);
    for (std::size_t j = 0; j < n; ++j) room[j] = static_cast<uint8_t>(total + j);
    in.filled(n);
    total += n;
  }
  EXPECT_EQ(total, InputBuffer::kCapacity);
  EXPECT_TRUE(in.room().empty());

  std::vector<uint8_t> out(300);
  ASSERT_EQ(in.take(out), 300u);
  EXPECT_EQ(out[299], static_cast<uint8_t>(299));
  EXPECT_FALSE(in.full());
  // The bytes not read yet move to the front, in order.
  ASSERT_EQ(in.room().size(), 300u);
  ASSERT_EQ(in.take(std::span(out).first(1)), 1u);
  EXPECT_EQ(out[0], static_cast<uint8_t>(300));
  EXPECT_EQ(in.unread(), InputBuffer::kCapacity - 301);
}

// Output the socket did not take waits in order; past the bound the peer is
// taken to have stopped reading.
TEST(OutputBacklog, KeepsOrderAndTellsWhenOverItsBound) {
  OutputBacklog out;
  const std::vector<uint8_t> a{1, 2, 3}, b{4, 5};
  out.queue(a);
  out.queue(b);
  EXPECT_FALSE(out.over(5));
  EXPECT_TRUE(out.over(4));
  out.sent(2);
  EXPECT_EQ(std::vector<uint8_t>(out.pending().begin(), out.pending().end()),
            (std::vector<uint8_t>{3, 4, 5}));
  out.sent(3);
  EXPECT_EQ(out.unsent(), 0u);
  out.queue(b);
  EXPECT_EQ(out.pending().front(), 4);
}

}  // namespace
}  // namespace netbuf
