#include "ostrel/decode/osd/ordered_statistics.h"

#include <gtest/gtest.h>

#include <random>

#include "ostrel/decode/belief/brute_force_decoding.h"
#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::osd {
namespace {

using belief::CheckMatrix;

// Some models have errors likelier than not (negative weights); the search is the same.
TEST(OrderedStatistics, EveryCandidateMeetsTheSyndromeAndFullExhaustiveSearchIsMinimumWeight) {
  std::mt19937_64 rng(11);
  int checked = 0;
  for (int trial = 0; trial < 150; ++trial) {
    const uint32_t rows = 2 + static_cast<uint32_t>(rng() % 6);
    const uint32_t columns = rows + static_cast<uint32_t>(rng() % 8);
    const auto h = belief::matrix_from_text(belief::random_model_text(rng, rows, columns, 4, 0.01, trial % 4 == 0 ? 0.9 : 0.45));
    ASSERT_NE(h, nullptr);
    auto osd = OrderedStatistics::create(h, uint64_t{1} << 30);
    ASSERT_TRUE(osd.ok());
    std::vector<double> marginals(h->column_count);
    std::vector<uint8_t> parity;
    std::vector<uint32_t> fired, chosen, check;
    for (int shot = 0; shot < 20; ++shot) {
      chosen.clear();
      for (uint32_t c = 0; c < h->column_count; ++c)
        if (rng() % 4 == 0) chosen.push_back(c);
      belief::syndrome_of_columns(*h, chosen, parity, fired);
      for (double& m : marginals) m = std::normal_distribution<double>(1.0, 3.0)(rng);
      const auto exact = belief::brute_force_decode(*h, parity);
      double osd0_weight = 0;
      for (const auto& [method, order] : {std::pair{OsdMethod::kOsd0, 0u}, {OsdMethod::kCombinationSweep, 3u},
                                         {OsdMethod::kExhaustive, h->column_count}}) {
        ASSERT_TRUE(osd->solve(fired, marginals, method, order));
        const auto correction = osd->correction();
        belief::syndrome_of_columns(*h, correction, parity, check);
        ASSERT_EQ(check, fired);
        double weight = 0;
        uint64_t observables = 0;
        for (const uint32_t c : correction) {
          weight += std::log((1 - h->priors[c]) / h->priors[c]);
          observables ^= h->observables[c];
        }
        EXPECT_NEAR(weight, osd->correction_weight(), 1e-9);
        EXPECT_EQ(observables, osd->correction_observables());
        EXPECT_GE(weight, exact.min_weight - 1e-9);
        if (method == OsdMethod::kOsd0) {
          osd0_weight = weight;
        } else if (method == OsdMethod::kCombinationSweep) {
          EXPECT_LE(weight, osd0_weight + 1e-9);
        } else {
          EXPECT_NEAR(weight, exact.min_weight, 1e-9);
        }
      }
      ++checked;
    }
  }
  EXPECT_EQ(checked, 3000);
}

// Rows of several words: the syndrome is met and the sweeps never do worse than OSD-0.
TEST(OrderedStatistics, WideMatricesMeetTheSyndrome) {
  std::mt19937_64 rng(17);
  for (int trial = 0; trial < 20; ++trial) {
    const uint32_t rows = 40 + static_cast<uint32_t>(rng() % 60);
    const uint32_t columns = 2 * rows + static_cast<uint32_t>(rng() % 150);
    const auto h = belief::matrix_from_text(belief::random_model_text(rng, rows, columns, 5, 0.001, 0.1));
    ASSERT_NE(h, nullptr);
    auto osd = OrderedStatistics::create(h, uint64_t{1} << 30);
    ASSERT_TRUE(osd.ok());
    std::vector<double> marginals(h->column_count);
    std::vector<uint8_t> parity;
    std::vector<uint32_t> fired, chosen, check;
    for (int shot = 0; shot < 10; ++shot) {
      chosen.clear();
      for (uint32_t c = 0; c < h->column_count; ++c)
        if (rng() % 20 == 0) chosen.push_back(c);
      belief::syndrome_of_columns(*h, chosen, parity, fired);
      for (double& m : marginals) m = std::normal_distribution<double>(3.0, 3.0)(rng);
      double osd0_weight = 0;
      for (const auto& [method, order] : {std::pair{OsdMethod::kOsd0, 0u}, {OsdMethod::kCombinationSweep, 10u},
                                          {OsdMethod::kExhaustive, 8u}}) {
        ASSERT_TRUE(osd->solve(fired, marginals, method, order));
        belief::syndrome_of_columns(*h, osd->correction(), parity, check);
        ASSERT_EQ(check, fired) << trial << " " << shot;
        if (method == OsdMethod::kOsd0) {
          osd0_weight = osd->correction_weight();
        } else {
          EXPECT_LE(osd->correction_weight(), osd0_weight + 1e-9);
        }
      }
    }
  }
}

TEST(OrderedStatistics, ASyndromeNoColumnsExplainIsReported) {
  const auto h = belief::matrix_from_text("error(0.1) D0 D1\nerror(0.1) D1 D2\ndetector D3\n");
  ASSERT_NE(h, nullptr);
  auto osd = OrderedStatistics::create(h, uint64_t{1} << 30);
  ASSERT_TRUE(osd.ok());
  const std::vector<double> marginals{1.0, 1.0};
  const std::vector<uint32_t> explainable{0, 2}, odd{0, 1, 2}, unseen{3};
  EXPECT_TRUE(osd->solve(explainable, marginals, OsdMethod::kCombinationSweep, 2));
  EXPECT_EQ(osd->correction().size(), 2u);
  EXPECT_FALSE(osd->solve(odd, marginals, OsdMethod::kCombinationSweep, 2));
  EXPECT_FALSE(osd->solve(unseen, marginals, OsdMethod::kOsd0, 0));
  EXPECT_FALSE(OrderedStatistics::create(h, 8).ok());
}

}  // namespace
}  // namespace ostrel::decode::osd
