#include "ostrel/decode/belief/layered_kernel.h"

#include <bit>
#include <cstring>

namespace ostrel::decode::belief {
namespace {

constexpr uint32_t kMaxMessage = std::bit_cast<uint32_t>(kLayeredMaxMessage);

// Magnitudes as the bits of non-negative floats, which order as unsigned integers: masks select
// without a branch on which input is least.
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

void move_biases(const LayeredPass& p) {
  const float* __restrict prior = p.prior;
  float* __restrict bias = p.bias;
  float* __restrict marginal = p.marginal;
  // The marginals hold the last iteration's bias, so they move by the difference.
  for (uint32_t c = 0; c < p.column_count; ++c) {
    const float g = p.gammas ? p.gammas[c] : p.gamma;
    const float b = prior[c] + g * (marginal[c] - prior[c]);
    marginal[c] += b - bias[c];
    bias[c] = b;
  }
}

void layered_pass_portable(const LayeredPass& p) {
  // Local restrict pointers: stores through one array must not make the compiler reload another.
  float* __restrict marginal = p.marginal;
  float* __restrict message = p.message;
  float* __restrict input = p.input;
  const uint32_t* __restrict columns = p.row_columns;
  const uint32_t* __restrict start = p.row_start;
  move_biases(p);
  for (uint32_t r = 0; r < p.row_count; ++r) {
    const uint32_t b = start[r], n = start[r + 1] - b;
    const uint32_t* __restrict column = columns + b;
    float* __restrict out = message + b;
    // Two running (least, second) pairs over alternate entries, merged after: one pair would
    // chain every entry's compare-and-select behind the last one's.
    uint32_t least[kLanes], second[kLanes];
    for (uint32_t j = 0; j < kLanes; ++j) least[j] = second[j] = kMaxMessage;
    uint32_t sign = p.syndrome[r];
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
    const uint32_t small_bits = std::bit_cast<uint32_t>(p.alpha * std::bit_cast<float>(least_bits));
    const uint32_t large_bits = std::bit_cast<uint32_t>(p.alpha * std::bit_cast<float>(second[0]));
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
}

uint32_t next_decision_change_portable(const float* marginal, const uint8_t* hard, uint32_t from, uint32_t count) {
  // Eight decisions compared at once: few change in an iteration.
  uint32_t c = from;
  for (; c + 8 <= count; c += 8) {
    uint64_t now = 0, before = 0;
    for (uint32_t j = 0; j < 8; ++j) now |= uint64_t{std::bit_cast<uint32_t>(marginal[c + j]) >> 31} << (8 * j);
    std::memcpy(&before, hard + c, 8);
    if (now != before) break;
  }
  for (; c < count; ++c)
    if ((std::bit_cast<uint32_t>(marginal[c]) >> 31) != hard[c]) return c;
  return count;
}

DecisionScan fastest_decision_scan() {
  static const DecisionScan best = [] {
    const DecisionScan wide = next_decision_change_avx512();
    return wide ? wide : &next_decision_change_portable;
  }();
  return best;
}

LayeredKernel fastest_layered_kernel() {
  static const LayeredKernel best = [] {
    if (const LayeredKernel wide = layered_pass_avx512()) return wide;
    if (const LayeredKernel wide = layered_pass_avx2()) return wide;
    return &layered_pass_portable;
  }();
  return best;
}

}  // namespace ostrel::decode::belief
