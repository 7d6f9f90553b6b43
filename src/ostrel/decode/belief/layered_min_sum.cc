#include "ostrel/decode/belief/layered_min_sum.h"

#include <algorithm>
#include <bit>

namespace ostrel::decode::belief {
namespace {

// What a check with one neighbour sends (certainty, yet finite), as the double-precision path.
constexpr uint32_t kMaxMessage = std::bit_cast<uint32_t>(1e6f);

inline uint32_t select(uint32_t mask, uint32_t yes, uint32_t no) { return (yes & mask) | (no & ~mask); }
inline uint32_t below(uint32_t a, uint32_t b) { return 0u - static_cast<uint32_t>(a < b); }

// Folds magnitude `a` into a running least and second least.
inline void fold(uint32_t a, uint32_t& least, uint32_t& second) {
  const uint32_t lower = below(a, least);
  const uint32_t high = select(lower, least, a);
  second = select(below(high, second), high, second);
  least = select(lower, a, least);
}

constexpr uint32_t kLanes = 2;

}  // namespace

LayeredMinSum::LayeredMinSum(const CheckMatrix& h, std::span<const double> prior_llrs) { reset(h, prior_llrs); }

void LayeredMinSum::reset(const CheckMatrix& h, std::span<const double> prior_llrs) {
  prior_.resize(h.column_count);
  for (uint32_t c = 0; c < h.column_count; ++c) prior_[c] = static_cast<float>(prior_llrs[c]);
  bias_.assign(prior_.begin(), prior_.end());
  marginal_.assign(prior_.begin(), prior_.end());
  message_.assign(h.entry_count(), 0.0f);
  uint32_t longest = 0;
  for (uint32_t r = 0; r < h.row_count; ++r) longest = std::max(longest, h.row_start[r + 1] - h.row_start[r]);
  input_.assign(longest, 0.0f);
  syndrome_.assign(h.row_count, 0);
}

void LayeredMinSum::begin(const CheckMatrix& h, std::span<const uint8_t> syndrome) {
  for (uint32_t r = 0; r < h.row_count; ++r) syndrome_[r] = syndrome[r] != 0;
  std::fill(message_.begin(), message_.end(), 0.0f);
  std::copy(prior_.begin(), prior_.end(), bias_.begin());
  std::copy(prior_.begin(), prior_.end(), marginal_.begin());
}

void LayeredMinSum::iterate(const CheckMatrix& h, float alpha, float gamma, std::span<const float> gammas,
                            std::span<uint8_t> hard, std::span<uint8_t> row_parity, int64_t& unsatisfied) {
  // Local restrict pointers: stores through one array must not make the compiler reload another.
  const float* __restrict prior = prior_.data();
  float* __restrict bias = bias_.data();
  float* __restrict marginal = marginal_.data();
  float* __restrict message = message_.data();
  float* __restrict input = input_.data();
  const uint32_t* __restrict columns = h.row_columns.data();
  const uint32_t* __restrict start = h.row_start.data();
  // This iteration's bias; the marginals hold the last one, so they move by the difference.
  for (uint32_t c = 0; c < h.column_count; ++c) {
    const float g = gammas.empty() ? gamma : gammas[c];
    const float b = prior[c] + g * (marginal[c] - prior[c]);
    marginal[c] += b - bias[c];
    bias[c] = b;
  }
  for (uint32_t r = 0; r < h.row_count; ++r) {
    const uint32_t b = start[r], n = start[r + 1] - b;
    const uint32_t* __restrict column = columns + b;
    float* __restrict out = message + b;
    // Two running (least, second) pairs over alternate entries, merged after: one pair would
    // chain every entry's compare-and-select behind the last one's.
    uint32_t least[kLanes], second[kLanes];
    for (uint32_t j = 0; j < kLanes; ++j) least[j] = second[j] = kMaxMessage;
    uint32_t sign = syndrome_[r];
    uint32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
      for (uint32_t j = 0; j < kLanes; ++j) {
        const float v = marginal[column[i + j]] - out[i + j];
        input[i + j] = v;
        const uint32_t bits = std::bit_cast<uint32_t>(v);
        fold(bits & 0x7fffffffu, least[j], second[j]);
        sign ^= bits >> 31;
      }
    }
    for (; i < n; ++i) {
      const float v = marginal[column[i]] - out[i];
      input[i] = v;
      const uint32_t bits = std::bit_cast<uint32_t>(v);
      fold(bits & 0x7fffffffu, least[0], second[0]);
      sign ^= bits >> 31;
    }
    for (uint32_t j = 1; j < kLanes; ++j) {
      fold(least[j], least[0], second[0]);
      fold(second[j], least[0], second[0]);
    }
    const uint32_t least_bits = least[0];
    const float small = alpha * std::bit_cast<float>(least_bits);
    const float large = alpha * std::bit_cast<float>(second[0]);
    const uint32_t small_bits = std::bit_cast<uint32_t>(small), large_bits = std::bit_cast<uint32_t>(large);
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t bits = std::bit_cast<uint32_t>(input[k]);
      // The least input but this entry's own: the second least when this entry gave the least
      // (on a tie the two are equal).
      const uint32_t mine = 0u - static_cast<uint32_t>((bits & 0x7fffffffu) == least_bits);
      const uint32_t magnitude = select(mine, large_bits, small_bits);
      const float m = std::bit_cast<float>(magnitude ^ ((sign ^ (bits >> 31)) << 31));
      out[k] = m;
      marginal[column[k]] = input[k] + m;
    }
  }
  int64_t unmet = unsatisfied;
  for (uint32_t c = 0; c < h.column_count; ++c) {
    const uint8_t decided = static_cast<uint8_t>(std::bit_cast<uint32_t>(marginal[c]) >> 31);
    if (decided == hard[c]) continue;
    hard[c] = decided;
    for (const uint32_t r : h.rows_of(c)) {
      row_parity[r] ^= 1;
      unmet += row_parity[r] ? 1 : -1;
    }
  }
  unsatisfied = unmet;
}

}  // namespace ostrel::decode::belief
