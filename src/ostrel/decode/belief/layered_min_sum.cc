#include "ostrel/decode/belief/layered_min_sum.h"

#include <algorithm>
#include <bit>

#include "ostrel/decode/belief/layered_kernel.h"

namespace ostrel::decode::belief {

LayeredMinSum::LayeredMinSum(const CheckMatrix& h, std::span<const double> prior_llrs, LayeredKernel kernel)
    : kernel_(kernel ? kernel : fastest_layered_kernel()), scan_(fastest_decision_scan()) {
  reset(h, prior_llrs);
}

void LayeredMinSum::reset(const CheckMatrix& h, std::span<const double> prior_llrs) {
  prior_.resize(h.column_count);
  for (uint32_t c = 0; c < h.column_count; ++c) prior_[c] = static_cast<float>(prior_llrs[c]);
  // begin() sets the rest.
  bias_.resize(h.column_count);
  marginal_.resize(h.column_count);
  message_.resize(h.entry_count());
  uint32_t longest = 0;
  for (uint32_t r = 0; r < h.row_count; ++r) longest = std::max(longest, h.row_start[r + 1] - h.row_start[r]);
  input_.resize(longest);
  syndrome_.resize(h.row_count);
}

void LayeredMinSum::begin(const CheckMatrix& h, std::span<const uint8_t> syndrome) {
  for (uint32_t r = 0; r < h.row_count; ++r) syndrome_[r] = syndrome[r] != 0;
  std::fill(message_.begin(), message_.end(), 0.0f);
  std::copy(prior_.begin(), prior_.end(), bias_.begin());
  std::copy(prior_.begin(), prior_.end(), marginal_.begin());
}

void LayeredMinSum::iterate(const CheckMatrix& h, float alpha, float gamma, std::span<const float> gammas,
                            std::span<uint8_t> hard, std::span<uint8_t> row_parity, int64_t& unsatisfied) {
  kernel_(LayeredPass{.column_count = h.column_count,
                      .row_count = h.row_count,
                      .row_start = h.row_start.data(),
                      .row_columns = h.row_columns.data(),
                      .syndrome = syndrome_.data(),
                      .prior = prior_.data(),
                      .gammas = gammas.empty() ? nullptr : gammas.data(),
                      .gamma = gamma,
                      .alpha = alpha,
                      .bias = bias_.data(),
                      .marginal = marginal_.data(),
                      .message = message_.data(),
                      .input = input_.data()});
  const float* marginal = marginal_.data();
  int64_t unmet = unsatisfied;
  for (uint32_t c = scan_(marginal, hard.data(), 0, h.column_count); c < h.column_count;
       c = scan_(marginal, hard.data(), c + 1, h.column_count)) {
    hard[c] ^= 1;
    for (const uint32_t r : h.rows_of(c)) {
      row_parity[r] ^= 1;
      unmet += row_parity[r] ? 1 : -1;
    }
  }
  unsatisfied = unmet;
}

}  // namespace ostrel::decode::belief
