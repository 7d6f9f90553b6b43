#include "ostrel/decode/syndrome_window.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ostrel::decode {
namespace {

using Bytes = std::vector<uint8_t>;

SyndromeWindow make_window(uint64_t ancilla_count, uint64_t depth) {
  auto window = SyndromeWindow::create(ancilla_count, depth);
  EXPECT_TRUE(window.ok());
  return std::move(window).value();
}

Bytes matrix_of(const SyndromeWindow& window) {
  auto m = window.matrix();
  return Bytes(m.begin(), m.end());
}

void push_ok(SyndromeWindow& window, const Bytes& events) { ASSERT_TRUE(window.push(events).ok()); }

TEST(SyndromeWindow, EvictsOldestOnceFull) {
  SyndromeWindow window = make_window(3, 2);
  EXPECT_TRUE(window.is_empty());
  EXPECT_FALSE(window.is_full());
  push_ok(window, {1, 0, 0});
  push_ok(window, {0, 1, 0});
  push_ok(window, {0, 0, 1});
  EXPECT_EQ(window.len(), 2u);
  EXPECT_TRUE(window.is_full());
  EXPECT_FALSE(window.is_empty());
  EXPECT_EQ(matrix_of(window), (Bytes{0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(window.active_detectors(), (std::vector<uint64_t>{1, 5}));
  EXPECT_EQ(window.active_count(), 2u);
}

TEST(SyndromeWindow, CutsLongRoundsAndPadsShortOnes) {
  SyndromeWindow window = make_window(3, 4);
  push_ok(window, {1, 1, 0, 1, 1});
  push_ok(window, {1});
  push_ok(window, {});
  EXPECT_EQ(matrix_of(window), (Bytes{1, 1, 0, 1, 0, 0, 0, 0, 0}));
}

TEST(SyndromeWindow, OnlyCellsEqualToOneAreActive) {
  // 11 cells per row so rows straddle the 8-byte words the scan skips by.
  SyndromeWindow window = make_window(11, 2);
  push_ok(window, {0, 2, 1, 0, 0, 0, 0, 0, 255, 1, 0});
  push_ok(window, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  EXPECT_EQ(window.active_detectors(), (std::vector<uint64_t>{2, 9, 21}));
}

// Pushes distinct rows one by one and checks after each push that the matrix holds exactly the
// newest min(pushed, depth) of them, oldest first.
class SlidingWindow : public ::testing::TestWithParam<std::pair<uint64_t, uint64_t>> {};

TEST_P(SlidingWindow, MatrixHoldsTheNewestRoundsInOrder) {
  const auto [ancilla_count, depth] = GetParam();
  SyndromeWindow window = make_window(ancilla_count, depth);
  std::vector<Bytes> rows;
  for (int k = 0; k < 23; ++k) {
    Bytes row(ancilla_count);
    for (uint64_t c = 0; c < ancilla_count; ++c) row[c] = static_cast<uint8_t>(k * 7 + c + 1);
    rows.push_back(row);
    push_ok(window, row);
    const size_t held = depth == 0 ? rows.size() : std::min<size_t>(rows.size(), depth);
    Bytes expected;
    for (size_t r = rows.size() - held; r < rows.size(); ++r) expected.insert(expected.end(), rows[r].begin(), rows[r].end());
    ASSERT_EQ(window.len(), held);
    ASSERT_EQ(matrix_of(window), expected) << "after push " << k;
    ASSERT_EQ(window.is_full(), held == depth);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SlidingWindow,
                         ::testing::Values(std::pair<uint64_t, uint64_t>{1, 1}, std::pair<uint64_t, uint64_t>{3, 2},
                                           std::pair<uint64_t, uint64_t>{8, 3}, std::pair<uint64_t, uint64_t>{5, 7},
                                           std::pair<uint64_t, uint64_t>{4, 0}, std::pair<uint64_t, uint64_t>{1, 0}),
                         [](const ::testing::TestParamInfo<std::pair<uint64_t, uint64_t>>& info) {
                           return std::to_string(info.param.first) + "_ancillas_" +
                                  std::to_string(info.param.second) + "_deep";
                         });

TEST(SyndromeWindow, DepthZeroIsFullOnlyWhileEmpty) {
  SyndromeWindow window = make_window(4, 0);
  EXPECT_TRUE(window.is_full());
  for (int k = 0; k < 3; ++k) push_ok(window, {1, 0, 0, 1});
  EXPECT_EQ(window.len(), 3u);
  EXPECT_FALSE(window.is_full());
  EXPECT_EQ(window.active_detectors(), (std::vector<uint64_t>{0, 3, 4, 7, 8, 11}));
}

TEST(SyndromeWindow, RowsWithoutCellsStillCountRounds) {
  // No cells: any depth fits, since nothing is stored.
  SyndromeWindow deep = make_window(0, UINT64_MAX);
  push_ok(deep, {1});
  EXPECT_EQ(deep.len(), 1u);
  SyndromeWindow bounded = make_window(0, 2);
  SyndromeWindow unbounded = make_window(0, 0);
  for (int k = 0; k < 3; ++k) {
    push_ok(bounded, {1, 1});
    push_ok(unbounded, {1});
  }
  EXPECT_EQ(bounded.len(), 2u);
  EXPECT_EQ(unbounded.len(), 3u);
  EXPECT_TRUE(bounded.matrix().empty());
  EXPECT_TRUE(unbounded.active_detectors().empty());
}

TEST(SyndromeWindow, StridedPushReadsExactlyTheViewedElements) {
  const Bytes backing{1, 9, 0, 9, 1, 9, 1, 9, 0};
  SyndromeWindow window = make_window(4, 0);
  // Every second element: 1 0 1 1 (the fifth, 0, is cut).
  ASSERT_TRUE(window.push_strided(backing.data(), 5, 2).ok());
  // Backwards from the last element with stride -2: 0 1 1 0.
  ASSERT_TRUE(window.push_strided(backing.data() + 8, 4, -2).ok());
  // Three elements, stride 3, padded: 1 9 1 0.
  ASSERT_TRUE(window.push_strided(backing.data(), 3, 3).ok());
  // One element repeated through a zero stride.
  ASSERT_TRUE(window.push_strided(backing.data() + 4, 2, 0).ok());
  EXPECT_EQ(matrix_of(window), (Bytes{1, 0, 1, 1, 0, 1, 1, 0, 1, 9, 1, 0, 1, 1, 0, 0}));
}

TEST(SyndromeWindow, RefusesReservationsThatOverflow) {
  struct Case {
    uint64_t ancilla_count;
    uint64_t depth;
  };
  for (const Case c : {Case{uint64_t{1} << 63, 2}, Case{3, UINT64_MAX}, Case{UINT64_MAX, UINT64_MAX},
                       Case{uint64_t{1} << 31, uint64_t{1} << 32}}) {
    auto window = SyndromeWindow::create(c.ancilla_count, c.depth);
    ASSERT_FALSE(window.ok());
    EXPECT_EQ(window.error().kind, WindowErrorKind::TooLarge);
  }
  EXPECT_EQ(SyndromeWindow::create(3, UINT64_MAX).error().message(),
            "syndrome window of 18446744073709551615 rounds x 3 ancillas is too large");
}

TEST(SyndromeWindow, DepthZeroGrowthThatOverflowsFailsAndLeavesTheWindowUnchanged) {
  SyndromeWindow window = make_window(UINT64_MAX, 0);
  auto pushed = window.push(Bytes{1});
  ASSERT_FALSE(pushed.ok());
  EXPECT_EQ(pushed.error().kind, WindowErrorKind::TooLarge);
  EXPECT_EQ(window.len(), 0u);
  EXPECT_TRUE(window.is_empty());
}

#if defined(__SANITIZE_ADDRESS__)
#define OSTREL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTREL_UNDER_ASAN 1
#endif
#endif

TEST(SyndromeWindow, RefusesReservationsThatCannotBeAllocated) {
#ifdef OSTREL_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's allocator ends the process on impossible allocations";
#else
  // 2^62 bytes: addressable, but beyond any address space.
  auto window = SyndromeWindow::create(uint64_t{1} << 31, uint64_t{1} << 30);
  ASSERT_FALSE(window.ok());
  EXPECT_EQ(window.error().kind, WindowErrorKind::OutOfMemory);
  EXPECT_EQ(window.error().message(), "cannot allocate a syndrome window of 1073741824 rounds x 2147483648 ancillas");

  SyndromeWindow unbounded = make_window(uint64_t{1} << 62, 0);
  auto pushed = unbounded.push(Bytes{1});
  ASSERT_FALSE(pushed.ok());
  EXPECT_EQ(pushed.error().kind, WindowErrorKind::OutOfMemory);
  EXPECT_EQ(unbounded.len(), 0u);
#endif
}

}  // namespace
}  // namespace ostrel::decode
