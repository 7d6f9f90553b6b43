#include "ostrel/qssf/ring_buffer.h"

#include <gtest/gtest.h>

#include <numeric>

namespace ostrel::qssf {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes seq(uint8_t from, size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), from);
  return b;
}

TEST(RingBuffer, ViewsAcrossTheEndAreWholeAndInOrder) {
  RingBuffer ring(8);
  Bytes scratch;
  EXPECT_EQ(ring.push(seq(0, 6)), 6u);
  ring.advance(5);
  EXPECT_EQ(ring.push(seq(6, 6)), 6u);
  auto wrapped = ring.view(7, scratch);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(Bytes(wrapped->begin(), wrapped->end()), seq(5, 7));
  EXPECT_FALSE(ring.view(8, scratch));
  auto empty = ring.view(0, scratch);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(RingBuffer, PushStoresOnlyWhatFits) {
  RingBuffer ring(8);
  EXPECT_EQ(ring.push(seq(0, 4)), 4u);
  EXPECT_EQ(ring.push(seq(4, 10)), 4u);
  EXPECT_EQ(ring.push(seq(0, 1)), 0u);
  EXPECT_EQ(ring.unread(), 8u);
  Bytes scratch;
  EXPECT_EQ(Bytes(ring.view(8, scratch)->begin(), ring.view(8, scratch)->end()), seq(0, 8));
}

TEST(RingBuffer, WriteSpaceAndCommitFollowTheWrap) {
  RingBuffer ring(10);
  ring.commit(ring.write_space().size());
  EXPECT_EQ(ring.write_space().size(), 0u);
  ring.advance(7);
  auto space = ring.write_space();  // wraps to the front: 7 bytes there
  EXPECT_EQ(space.size(), 7u);
  std::fill(space.begin(), space.end(), 0xAB);
  ring.commit(7);
  Bytes scratch;
  auto v = ring.view(10, scratch);
  ASSERT_TRUE(v);
  EXPECT_EQ((*v)[3], 0xAB);
  EXPECT_EQ((*v)[9], 0xAB);
}

}  // namespace
}  // namespace ostrel::qssf
