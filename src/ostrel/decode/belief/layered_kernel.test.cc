#include "ostrel/decode/belief/layered_kernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace ostrel::decode::belief {
namespace {

// A random matrix in row order (distinct columns per row) and a state to run a pass on.
struct State {
  std::vector<uint32_t> row_start{0}, row_columns, syndrome;
  std::vector<float> prior, gammas, bias, marginal, message, input;
  uint32_t columns = 0;

  LayeredPass pass(bool per_column, float alpha) {
    return {.column_count = columns,
            .row_count = static_cast<uint32_t>(syndrome.size()),
            .row_start = row_start.data(),
            .row_columns = row_columns.data(),
            .syndrome = syndrome.data(),
            .prior = prior.data(),
            .gammas = per_column ? gammas.data() : nullptr,
            .gamma = 0.3f,
            .alpha = alpha,
            .bias = bias.data(),
            .marginal = marginal.data(),
            .message = message.data(),
            .input = input.data()};
  }
};

State random_state(std::mt19937& rng, uint32_t columns, const std::vector<uint32_t>& lengths) {
  State s;
  s.columns = columns;
  // Magnitudes from a few values, so that rows hold ties of the least, and some past the
  // ceiling a lone check sends.
  const float values[] = {0.0f, 0.5f, 0.5f, 1.25f, 2.0f, 7.0f, 3e6f, 1e6f};
  auto value = [&] {
    const float v = (rng() % 3 == 0) ? values[rng() % 8] : std::uniform_real_distribution<float>(0, 20)(rng);
    return rng() % 4 == 0 ? -v : v;
  };
  std::vector<uint32_t> all(columns);
  for (uint32_t c = 0; c < columns; ++c) all[c] = c;
  for (const uint32_t n : lengths) {
    std::shuffle(all.begin(), all.end(), rng);
    std::vector<uint32_t> row(all.begin(), all.begin() + n);
    std::sort(row.begin(), row.end());
    s.row_columns.insert(s.row_columns.end(), row.begin(), row.end());
    s.row_start.push_back(static_cast<uint32_t>(s.row_columns.size()));
    s.syndrome.push_back(rng() % 2);
  }
  for (uint32_t c = 0; c < columns; ++c) {
    s.prior.push_back(std::abs(value()));
    s.gammas.push_back(std::uniform_real_distribution<float>(-0.24f, 0.66f)(rng));
    s.bias.push_back(value());
    s.marginal.push_back(value());
  }
  for (size_t k = 0; k < s.row_columns.size(); ++k) s.message.push_back(value());
  s.input.assign(*std::max_element(lengths.begin(), lengths.end()), 0.0f);
  return s;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Every kernel this processor runs against the portable one, bit for bit, over several passes
// (each feeding the next): rows shorter than, as long as and longer than a vector, empty rows,
// ties of the least magnitude, signed zeros, magnitudes past the ceiling.
TEST(LayeredKernel, TheWideKernelsGiveThePortableBits) {
  std::vector<std::pair<const char*, LayeredKernel>> wide;
  if (const LayeredKernel k = layered_pass_avx512()) wide.emplace_back("avx512", k);
  if (const LayeredKernel k = layered_pass_avx2()) wide.emplace_back("avx2", k);
  if (wide.empty()) GTEST_SKIP() << "no AVX2 here";
  EXPECT_EQ(fastest_layered_kernel(), wide.front().second);
  std::mt19937 rng(5);
  const std::vector<std::vector<uint32_t>> shapes = {
      {1, 2, 3}, {0, 15, 16, 17, 0}, {31, 32, 33, 1}, {300, 5, 64, 250, 47}, {16, 16, 16, 16}, {7, 8, 9, 23}};
  for (const auto& [name, kernel] : wide)
    for (const auto& lengths : shapes)
      for (const bool per_column : {false, true})
        for (const float alpha : {1.0f, 0.625f}) {
          State a = random_state(rng, 320, lengths);
          State b = a;
          for (int t = 0; t < 4; ++t) {
            layered_pass_portable(a.pass(per_column, alpha));
            kernel(b.pass(per_column, alpha));
            ASSERT_TRUE(same_bits(a.marginal, b.marginal)) << name << ", " << lengths.size() << " rows, pass " << t;
            ASSERT_TRUE(same_bits(a.message, b.message)) << name << ", " << lengths.size() << " rows, pass " << t;
            ASSERT_TRUE(same_bits(a.bias, b.bias)) << name << ", " << lengths.size() << " rows, pass " << t;
          }
        }
}

// Changed decisions found from every start, signed zeros included, as the portable scan finds.
TEST(LayeredKernel, TheWideDecisionScanFindsWhatThePortableOneFinds) {
  const DecisionScan wide = next_decision_change_avx512();
  if (!wide) GTEST_SKIP() << "no AVX-512 here";
  std::mt19937 rng(8);
  for (const uint32_t count : {0u, 5u, 16u, 37u, 200u}) {
    std::vector<float> marginal(count);
    std::vector<uint8_t> hard(count);
    for (uint32_t c = 0; c < count; ++c) {
      marginal[c] = (rng() % 5 == 0 ? -1.0f : 1.0f) * (rng() % 7 == 0 ? 0.0f : 2.5f);
      hard[c] = std::signbit(marginal[c]) != (rng() % 23 == 0);
    }
    for (uint32_t from = 0; from <= count; ++from)
      ASSERT_EQ(wide(marginal.data(), hard.data(), from, count),
                next_decision_change_portable(marginal.data(), hard.data(), from, count))
          << count << " columns from " << from;
  }
}

}  // namespace
}  // namespace ostrel::decode::belief
