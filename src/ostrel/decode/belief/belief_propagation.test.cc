#include "ostrel/decode/belief/belief_propagation.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>

#include "ostrel/decode/belief/brute_force_decoding.h"
#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::belief {
namespace {

struct Variant {
  BpMethod method;
  BpSchedule schedule;
  double scaling;
  bool exact_on_trees;  // min-sum scaled below 1 is not max-product
};

// Test names show the variant, not the struct's bytes.
void PrintTo(const Variant& v, std::ostream* os) {
  *os << (v.method == BpMethod::kMinSum ? "min-sum" : "product-sum") << "/"
      << (v.schedule == BpSchedule::kParallel ? "parallel" : "serial") << "/scaling " << v.scaling;
}

class BeliefPropagationVariants : public testing::TestWithParam<Variant> {};

// A chain of errors between neighbouring detectors, the ends to the boundary: its Tanner graph is
// a tree, where min-sum finds the least-weight error and product-sum the exact marginals.
TEST_P(BeliefPropagationVariants, OnATreeEverySyndromeIsDecodedAtMinimumWeight) {
  const Variant v = GetParam();
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> probability(0.01, 0.2);
  const uint32_t n = 11;
  std::string text;
  for (uint32_t j = 0; j < n; ++j) {
    text += "error(" + std::to_string(probability(rng)) + ")";
    if (j > 0) text += " D" + std::to_string(j - 1);
    if (j + 1 < n) text += " D" + std::to_string(j);
    if (j == 0) text += " L0";
    text += "\n";
  }
  const auto h = matrix_from_text(text);
  ASSERT_NE(h, nullptr);
  BeliefPropagation bp(h, {.max_iter = 2 * n, .method = v.method, .ms_scaling_factor = v.scaling, .schedule = v.schedule});
  std::vector<uint8_t> syndrome(h->row_count);
  std::vector<uint32_t> fired;
  for (uint32_t s = 0; s < (1u << h->row_count); ++s) {
    fired.clear();
    for (uint32_t r = 0; r < h->row_count; ++r) {
      syndrome[r] = (s >> r) & 1;
      if (syndrome[r]) fired.push_back(r);
    }
    bp.set_syndrome(fired);
    ASSERT_TRUE(bp.decode()) << s;
    const auto exact = brute_force_decode(*h, syndrome);
    if (!v.exact_on_trees) {
      EXPECT_GE(bp.hard_weight(), exact.min_weight - 1e-9);
      continue;
    }
    EXPECT_NEAR(bp.hard_weight(), exact.min_weight, 1e-9) << s;
    EXPECT_EQ(bp.hard_observables(), exact.min_weight_observables) << s;
  }
}

// Lone errors far apart on a hypergraph code are decoded by BP alone.
TEST_P(BeliefPropagationVariants, ALoneErrorIsFoundWithoutPostProcessing) {
  const Variant v = GetParam();
  std::mt19937_64 rng(9);
  const auto h = matrix_from_text(random_model_text(rng, 30, 60, 3, 0.001, 0.01));
  ASSERT_NE(h, nullptr);
  BeliefPropagation bp(h, {.max_iter = 30, .method = v.method, .ms_scaling_factor = v.scaling, .schedule = v.schedule});
  std::vector<uint8_t> parity;
  std::vector<uint32_t> fired;
  int found = 0;
  for (uint32_t c = 0; c < h->column_count; ++c) {
    const uint32_t one[] = {c};
    syndrome_of_columns(*h, one, parity, fired);
    bp.set_syndrome(fired);
    if (!bp.decode()) continue;
    std::vector<uint32_t> check;
    std::vector<uint32_t> hard;
    for (uint32_t k = 0; k < h->column_count; ++k)
      if (bp.hard_decision()[k]) hard.push_back(k);
    std::vector<uint8_t> scratch;
    syndrome_of_columns(*h, hard, scratch, check);
    EXPECT_EQ(check, fired);
    found += hard == std::vector<uint32_t>{c};
  }
  // Columns sharing their detectors with a likelier one are legitimately decoded as that one.
  EXPECT_GE(found, static_cast<int>(h->column_count) * 3 / 4);
}

INSTANTIATE_TEST_SUITE_P(All, BeliefPropagationVariants,
                         testing::Values(Variant{BpMethod::kMinSum, BpSchedule::kParallel, 0.0, false},
                                         Variant{BpMethod::kMinSum, BpSchedule::kSerial, 0.0, false},
                                         Variant{BpMethod::kMinSum, BpSchedule::kParallel, 1.0, true},
                                         Variant{BpMethod::kMinSum, BpSchedule::kSerial, 1.0, true},
                                         Variant{BpMethod::kProductSum, BpSchedule::kParallel, 0.0, true},
                                         Variant{BpMethod::kProductSum, BpSchedule::kSerial, 0.0, true}));

TEST(BeliefPropagation, SyndromesAreReplacedWholeAndDuplicatesCancel) {
  const auto h = matrix_from_text("error(0.1) D0 D1\nerror(0.1) D1 D2\nerror(0.1) D2\n");
  ASSERT_NE(h, nullptr);
  BeliefPropagation bp(h, {});
  const uint32_t first[] = {0, 2};
  bp.set_syndrome(first);
  EXPECT_EQ(std::vector<uint32_t>(bp.fired().begin(), bp.fired().end()), (std::vector<uint32_t>{0, 2}));
  const uint32_t second[] = {1, 1, 2, 9};
  bp.set_syndrome(second);
  EXPECT_EQ(std::vector<uint32_t>(bp.fired().begin(), bp.fired().end()), (std::vector<uint32_t>{2}));
  ASSERT_TRUE(bp.decode());
  EXPECT_EQ(bp.hard_decision()[2], 1);
  EXPECT_EQ(bp.hard_decision()[0] + bp.hard_decision()[1], 0);
}

}  // namespace
}  // namespace ostrel::decode::belief
