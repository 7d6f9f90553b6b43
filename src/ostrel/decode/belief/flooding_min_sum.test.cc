#include "ostrel/decode/belief/flooding_min_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "ostrel/decode/belief/layered_min_sum.h"
#include "ostrel/decode/belief/reference_min_sum.h"
#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::belief {
namespace {

// Both min-sum kernels against the textbook on random models: marginals at every iteration, with
// uniform then per-column strengths of both signs (as relay legs draw them), two scalings; and
// the hard decision's unsatisfied rows recounted from scratch.
template <class Kernel>
void follows_the_textbook(bool serial) {
  std::mt19937_64 rng(17);
  for (const float alpha : {1.0f, 0.625f}) {
    for (int model = 0; model < 6; ++model) {
      const auto h = matrix_from_text(random_model_text(rng, 12, 40, 5, 0.01, 0.3));
      ASSERT_NE(h, nullptr);
      std::vector<double> prior(h->column_count);
      for (uint32_t c = 0; c < h->column_count; ++c) prior[c] = std::log((1 - h->priors[c]) / h->priors[c]);
      std::vector<uint8_t> syndrome(h->row_count);
      for (auto& s : syndrome) s = rng() % 3 == 0;
      Kernel fast(*h, prior);
      ReferenceMinSum slow(*h, prior, syndrome);
      fast.begin(*h, syndrome);
      std::vector<float> gamma(h->column_count, 0.1f);
      std::vector<uint8_t> hard(h->column_count, 0), parity(syndrome);
      int64_t unsatisfied = std::count(parity.begin(), parity.end(), 1);
      for (int t = 0; t < 25; ++t) {
        if (t == 5) {
          for (float& g : gamma) g = std::uniform_real_distribution<float>(-0.24f, 0.66f)(rng);
        }
        if (serial) slow.serial(alpha, gamma);
        else slow.parallel(alpha, gamma);
        if (t < 5) fast.iterate(*h, alpha, 0.1f, {}, hard, parity, unsatisfied);
        else fast.iterate(*h, alpha, 0.0f, gamma, hard, parity, unsatisfied);
        for (uint32_t c = 0; c < h->column_count; ++c) {
          ASSERT_NEAR(fast.marginals()[c], slow.marginal[c], 1e-5f * (1 + std::fabs(slow.marginal[c])))
              << "alpha " << alpha << " model " << model << " iteration " << t << " column " << c;
          ASSERT_EQ(hard[c], std::signbit(fast.marginals()[c]) ? 1 : 0);
        }
        int64_t recount = 0;
        for (uint32_t r = 0; r < h->row_count; ++r) {
          uint8_t p = syndrome[r];
          for (const uint32_t c : h->columns_of(r)) p ^= hard[c];
          ASSERT_EQ(parity[r], p);
          recount += p;
        }
        ASSERT_EQ(unsatisfied, recount);
      }
    }
  }
}

TEST(MinSumKernels, ParallelFollowsTheTextbook) { follows_the_textbook<FloodingMinSum>(false); }
TEST(MinSumKernels, SerialFollowsTheTextbook) { follows_the_textbook<LayeredMinSum>(true); }

}  // namespace
}  // namespace ostrel::decode::belief
