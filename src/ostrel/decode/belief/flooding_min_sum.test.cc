#include "ostrel/decode/belief/flooding_min_sum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::belief {
namespace {

// Textbook min-sum with memory, one message per edge each way: the oracle. In floats, the
// arithmetic in the same order, so that the two agree closely over many iterations (the dynamics
// with memory amplify rounding).
struct ReferenceMinSum {
  const CheckMatrix& h;
  std::vector<float> prior, marginal, to_variable;  // to_variable per entry in row order
  std::vector<uint8_t> syndrome;

  void iterate(float alpha, std::span<const float> gamma) {
    for (uint32_t r = 0; r < h.row_count; ++r) {
      const uint32_t b = h.row_start[r], e = h.row_start[r + 1];
      std::vector<float> in;
      for (uint32_t k = b; k < e; ++k) in.push_back(marginal[h.row_columns[k]] - to_variable[k]);
      for (uint32_t k = b; k < e; ++k) {
        float least = 1e6f;
        bool negative = syndrome[r];
        for (uint32_t o = b; o < e; ++o) {
          if (o == k) continue;
          least = std::min(least, std::fabs(in[o - b]));
          negative ^= in[o - b] < 0;
        }
        to_variable[k] = negative ? -alpha * least : alpha * least;
      }
    }
    for (uint32_t c = 0; c < h.column_count; ++c) {
      float sum = prior[c] + gamma[c] * (marginal[c] - prior[c]);
      for (const uint32_t k : h.entries_of(c)) sum += to_variable[k];
      marginal[c] = sum;
    }
  }
};

TEST(FloodingMinSum, FollowsTextbookMinSumWithMemoryAndKeepsTheUnsatisfiedCount) {
  std::mt19937_64 rng(17);
  for (const float alpha : {1.0f, 0.625f}) {
    for (int model = 0; model < 6; ++model) {
      const auto h = matrix_from_text(random_model_text(rng, 12, 40, 5, 0.01, 0.3));
      ASSERT_NE(h, nullptr);
      std::vector<double> prior(h->column_count);
      for (uint32_t c = 0; c < h->column_count; ++c) prior[c] = std::log((1 - h->priors[c]) / h->priors[c]);
      FloodingMinSum fast(*h, prior);
      const std::vector<float> prior_f(prior.begin(), prior.end());
      ReferenceMinSum slow{*h, prior_f, prior_f, std::vector<float>(h->entry_count(), 0.0f), {}};
      slow.syndrome.resize(h->row_count);
      for (auto& s : slow.syndrome) s = rng() % 3 == 0;
      fast.begin(*h, slow.syndrome);
      // Strengths of both signs, as relay legs draw them; the first iterations uniform.
      std::vector<float> gamma(h->column_count, 0.1f);
      std::vector<uint8_t> hard(h->column_count, 0), parity(slow.syndrome);
      int64_t unsatisfied = std::count(parity.begin(), parity.end(), 1);
      for (int t = 0; t < 25; ++t) {
        if (t == 5) {
          for (uint32_t c = 0; c < h->column_count; ++c)
            gamma[c] = std::uniform_real_distribution<float>(-0.24f, 0.66f)(rng);
        }
        slow.iterate(alpha, gamma);
        if (t < 5) fast.iterate(*h, alpha, 0.1f, {}, hard, parity, unsatisfied);
        else fast.iterate(*h, alpha, 0.0f, gamma, hard, parity, unsatisfied);
        for (uint32_t c = 0; c < h->column_count; ++c) {
          ASSERT_NEAR(fast.marginals()[c], slow.marginal[c], 1e-5f * (1 + std::fabs(slow.marginal[c])))
              << "alpha " << alpha << " model " << model << " iteration " << t << " column " << c;
          ASSERT_EQ(hard[c], fast.marginals()[c] < 0 ? 1 : 0);
        }
        int64_t recount = 0;
        for (uint32_t r = 0; r < h->row_count; ++r) {
          uint8_t p = slow.syndrome[r];
          for (const uint32_t c : h->columns_of(r)) p ^= hard[c];
          ASSERT_EQ(parity[r], p);
          recount += p;
        }
        ASSERT_EQ(unsatisfied, recount);
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::decode::belief
