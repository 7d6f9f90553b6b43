#include "ostrel/decode/latency_histogram.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace ostrel::decode {
namespace {

TEST(LatencyHistogram, PercentilesBoundTheTrueValueWithinABucket) {
  LatencyHistogram h;
  EXPECT_EQ(h.percentile(0.5), 0u);
  // 1..100000 ns once each: the true q-quantile is q * 100000.
  for (uint64_t v = 1; v <= 100000; ++v) h.record(v);
  for (const double q : {0.0001, 0.25, 0.5, 0.99, 0.999}) {
    const double truth = q * 100000;
    const auto p = static_cast<double>(h.percentile(q));
    EXPECT_GE(p, truth) << q;
    EXPECT_LE(p, truth * (1 + 1.0 / 16) + 1) << q;
  }
  EXPECT_EQ(h.percentile(1.0), 100000u);
  EXPECT_EQ(h.max(), 100000u);
  EXPECT_DOUBLE_EQ(h.mean(), 50000.5);
  h.record(UINT64_MAX);  // the last bucket exists
  EXPECT_EQ(h.percentile(1.0), UINT64_MAX);
}

}  // namespace
}  // namespace ostrel::decode
