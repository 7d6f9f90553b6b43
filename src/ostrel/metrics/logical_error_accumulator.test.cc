#include "ostrel/metrics/logical_error_accumulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace ostrel::metrics {
namespace {

TEST(LogicalErrorAccumulator, CountsDisagreementsPerObservable) {
  LogicalErrorAccumulator acc(2);
  for (uint64_t predicted : {1, 3, 1}) acc.record(predicted, 1);
  EXPECT_EQ(acc.total_shots(), 3u);
  EXPECT_EQ(acc.error_count(0), 0u);
  EXPECT_EQ(acc.error_count(1), 1u);
  EXPECT_EQ(acc.logical_error_rate(0), 0.0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(1), 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), 1.0 / 6.0);
}

TEST(LogicalErrorAccumulator, BitsBeyondTheTrackedObservablesAreIgnored) {
  LogicalErrorAccumulator acc(3);
  acc.record(0, ~uint64_t{0});
  EXPECT_EQ(acc.error_count(2), 1u);
  EXPECT_EQ(acc.error_count(3), 0u);
  EXPECT_EQ(acc.logical_error_rate(3), 0.0);
  EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), 1.0);
}

TEST(LogicalErrorAccumulator, TracksAtMostSixtyFourObservables) {
  LogicalErrorAccumulator acc(100);
  EXPECT_EQ(acc.observable_count(), 64u);
  acc.record(uint64_t{1} << 63, 0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(63), 1.0);
  EXPECT_EQ(acc.logical_error_rate(70), 0.0);
  EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), 1.0 / 64.0);
}

TEST(LogicalErrorAccumulator, NoObservablesStillCountsShots) {
  LogicalErrorAccumulator acc(0);
  acc.record(5, 0);
  EXPECT_EQ(acc.total_shots(), 1u);
  EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
  EXPECT_EQ(acc.logical_error_rate(0), 0.0);
}

TEST(LogicalErrorAccumulator, NoShotsMeansZeroRates) {
  LogicalErrorAccumulator acc(4);
  EXPECT_EQ(acc.logical_error_rate(0), 0.0);
  EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
}

TEST(LogicalErrorAccumulator, ResetZeroesCountersAndKeepsTheObservables) {
  LogicalErrorAccumulator acc(2);
  acc.record(3, 0);
  acc.reset();
  EXPECT_EQ(acc.total_shots(), 0u);
  EXPECT_EQ(acc.error_count(0), 0u);
  EXPECT_EQ(acc.logical_error_rate(1), 0.0);
  EXPECT_EQ(acc.observable_count(), 2u);
  acc.record(2, 0);
  EXPECT_DOUBLE_EQ(acc.logical_error_rate(1), 1.0);
  EXPECT_EQ(acc.logical_error_rate(0), 0.0);
}

TEST(LogicalErrorAccumulator, ConcurrentRecordsLoseNoCounts) {
  LogicalErrorAccumulator acc(64);
  constexpr int kThreads = 4;
  constexpr uint64_t kShots = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&acc, t] {
      // Thread t gets observable t wrong on every shot and observable 63 on every other shot.
      for (uint64_t s = 0; s < kShots; ++s) acc.record((uint64_t{1} << t) | ((s % 2) << 63), 0);
    });
  }
  // A reader beside the writers never sees more errors than shots.
  for (int k = 0; k < 1000; ++k) ASSERT_LE(acc.logical_error_rate(0), 1.0);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(acc.total_shots(), kThreads * kShots);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(acc.error_count(t), kShots);
  EXPECT_EQ(acc.error_count(63), kThreads * kShots / 2);
  EXPECT_EQ(acc.error_count(kThreads), 0u);
}

}  // namespace
}  // namespace ostrel::metrics
