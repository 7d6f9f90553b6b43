#include "ostrel/decode/belief/flooding_min_sum.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace ostrel::decode::belief {
namespace {

// What a check with one neighbour sends (certainty, yet finite), as the double-precision path.
constexpr uint32_t kMaxMessage = std::bit_cast<uint32_t>(1e6f);

// Magnitudes are kept as the bits of non-negative floats, which order as unsigned integers:
// selecting with masks keeps the folds free of branches (which input is least is data, not a
// pattern to predict), where float min and max may compile to jumps.
inline uint32_t select(uint32_t mask, uint32_t yes, uint32_t no) { return (yes & mask) | (no & ~mask); }
inline uint32_t below(uint32_t a, uint32_t b) { return 0u - static_cast<uint32_t>(a < b); }

// Folds input `value` into a check's state.
inline void fold(float value, uint32_t& least, uint32_t& second, uint32_t& sign) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint32_t a = bits & 0x7fffffffu;
  const uint32_t new_least = below(a, least);
  const uint32_t high = select(new_least, least, a);  // max(a, least)
  second = select(below(high, second), high, second);
  least = select(new_least, a, least);
  sign ^= bits >> 31;
}

}  // namespace

FloodingMinSum::FloodingMinSum(const CheckMatrix& h, std::span<const double> prior_llrs) { reset(h, prior_llrs); }

void FloodingMinSum::reset(const CheckMatrix& h, std::span<const double> prior_llrs) {
  prior_.resize(h.column_count);
  for (uint32_t c = 0; c < h.column_count; ++c) prior_[c] = static_cast<float>(prior_llrs[c]);
  marginal_.assign(prior_.begin(), prior_.end());
  sent_.assign(h.entry_count(), 0.0f);
  start_sent_.assign(h.entry_count(), 0.0f);
  start_.assign(h.row_count, Check{kMaxMessage, kMaxMessage, 0});
  uint32_t longest = 0;
  for (uint32_t c = 0; c < h.column_count; ++c) {
    const uint32_t b = h.column_start[c], e = h.column_start[c + 1];
    longest = std::max(longest, e - b);
    for (uint32_t k = b; k < e; ++k) {
      Check& s = start_[h.column_rows[k]];
      fold(prior_[c], s.least, s.second, s.sign);
      start_sent_[k] = prior_[c];
    }
  }
  current_.assign(start_.begin(), start_.end());
  next_.assign(start_.begin(), start_.end());
  syndrome_.assign(h.row_count, 0);
  messages_.assign(longest, 0.0f);
}

void FloodingMinSum::begin(const CheckMatrix& h, std::span<const uint8_t> syndrome) {
  for (uint32_t r = 0; r < h.row_count; ++r) {
    syndrome_[r] = syndrome[r] != 0;
    current_[r] = start_[r];
    current_[r].sign ^= syndrome_[r];
  }
  std::copy(start_sent_.begin(), start_sent_.end(), sent_.begin());
  std::copy(prior_.begin(), prior_.end(), marginal_.begin());
}

void FloodingMinSum::iterate(const CheckMatrix& h, float alpha, float gamma, std::span<const float> gammas,
                             std::span<uint8_t> hard, std::span<uint8_t> row_parity, int64_t& unsatisfied) {
  for (uint32_t r = 0; r < h.row_count; ++r) next_[r] = Check{kMaxMessage, kMaxMessage, syndrome_[r]};
  if (gammas.empty()) pass<false>(h, alpha, gamma, nullptr, hard.data(), row_parity.data(), unsatisfied);
  else pass<true>(h, alpha, 0.0f, gammas.data(), hard.data(), row_parity.data(), unsatisfied);
  current_.swap(next_);
}

template <bool kPerColumn>
void FloodingMinSum::pass(const CheckMatrix& h, float alpha, float gamma, const float* gammas, uint8_t* hard,
                          uint8_t* row_parity, int64_t& unsatisfied) {
  // Local restrict pointers: the byte stores below would otherwise make the compiler reload every
  // member through `this` at each column.
  const uint32_t* __restrict start = h.column_start.data();
  const uint32_t* __restrict rows = h.column_rows.data();
  const Check* __restrict in = current_.data();
  Check* __restrict out = next_.data();
  float* __restrict sent = sent_.data();
  float* __restrict message = messages_.data();
  const float* __restrict prior = prior_.data();
  float* __restrict marginal = marginal_.data();
  const uint32_t columns = h.column_count;
  int64_t unmet = unsatisfied;
  uint32_t b = start[0];
  for (uint32_t c = 0; c < columns; ++c) {
    const uint32_t e = start[c + 1];
    const uint32_t degree = e - b;
    const uint32_t* __restrict row = rows + b;
    float* __restrict input = sent + b;
    const float g = kPerColumn ? gammas[c] : gamma;
    float sum = prior[c] + g * (marginal[c] - prior[c]);
    for (uint32_t i = 0; i < degree; ++i) {
      // The least input but this entry's own: the second least when this entry gave the least
      // (on a tie the two are equal, so which entry gave it does not matter).
      const Check& s = in[row[i]];
      const uint32_t bits = std::bit_cast<uint32_t>(input[i]);
      const uint32_t mine = 0u - static_cast<uint32_t>((bits & 0x7fffffffu) == s.least);
      const float least = std::bit_cast<float>(select(mine, s.second, s.least));
      const uint32_t flip = (s.sign ^ (bits >> 31)) << 31;
      const float m = std::bit_cast<float>(std::bit_cast<uint32_t>(alpha * least) ^ flip);
      message[i] = m;
      sum += m;
    }
    marginal[c] = sum;
    for (uint32_t i = 0; i < degree; ++i) {
      const float v = sum - message[i];
      Check& s = out[row[i]];
      fold(v, s.least, s.second, s.sign);
      input[i] = v;
    }
    const uint8_t decided = static_cast<uint8_t>(std::bit_cast<uint32_t>(sum) >> 31);
    if (decided != hard[c]) {
      hard[c] = decided;
      for (uint32_t i = 0; i < degree; ++i) {
        row_parity[row[i]] ^= 1;
        unmet += row_parity[row[i]] ? 1 : -1;
      }
    }
    b = e;
  }
  unsatisfied = unmet;
}

}  // namespace ostrel::decode::belief
