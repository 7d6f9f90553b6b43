// The layered pass in AVX2 (8 entries a step, the marginals gathered, stored back one by one:
// AVX2 has no scatter), for processors without AVX-512. Built by a target attribute and without
// fused multiply-adds (CMakeLists.txt), so that its bits are the portable pass's.
#include <bit>

#include "ostrel/decode/belief/layered_kernel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSTREL_LAYERED_AVX2 1
#endif

namespace ostrel::decode::belief {

#ifdef OSTREL_LAYERED_AVX2
namespace {

#define OSTREL_AVX2 __attribute__((target("avx2")))

constexpr uint32_t kLanes = 8;

// Merges the (least, second least) pairs of other lanes into each lane's.
OSTREL_AVX2 inline void merge(__m256i& least, __m256i& second, __m256i other_least, __m256i other_second) {
  second = _mm256_min_epu32(_mm256_min_epu32(second, other_second), _mm256_max_epu32(least, other_least));
  least = _mm256_min_epu32(least, other_least);
}

OSTREL_AVX2 void pass(const LayeredPass& p) {
  move_biases(p);  // a loop over columns, a small share of the time
  const __m256i magnitude_bits = _mm256_set1_epi32(0x7fffffff);
  const __m256i sign_bit = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  const auto ceiling_bits = std::bit_cast<uint32_t>(kLayeredMaxMessage);
  const __m256i ceiling = _mm256_set1_epi32(static_cast<int>(ceiling_bits));
  float* const marginal = p.marginal;
  float* const input = p.input;
  for (uint32_t r = 0; r < p.row_count; ++r) {
    const uint32_t b = p.row_start[r], n = p.row_start[r + 1] - b;
    const uint32_t* const column = p.row_columns + b;
    float* const out = p.message + b;
    __m256i least = ceiling, second = ceiling, signs = _mm256_setzero_si256();
    uint32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
      const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column + i));
      const __m256 v = _mm256_sub_ps(_mm256_i32gather_ps(marginal, at, 4), _mm256_loadu_ps(out + i));
      _mm256_storeu_ps(input + i, v);
      const __m256i bits = _mm256_castps_si256(v);
      const __m256i a = _mm256_and_si256(bits, magnitude_bits);
      const __m256i high = _mm256_max_epu32(a, least);
      least = _mm256_min_epu32(a, least);
      second = _mm256_min_epu32(high, second);
      signs = _mm256_xor_si256(signs, bits);
    }
    merge(least, second, _mm256_permute2x128_si256(least, least, 1), _mm256_permute2x128_si256(second, second, 1));
    merge(least, second, _mm256_shuffle_epi32(least, _MM_SHUFFLE(1, 0, 3, 2)),
          _mm256_shuffle_epi32(second, _MM_SHUFFLE(1, 0, 3, 2)));
    merge(least, second, _mm256_shuffle_epi32(least, _MM_SHUFFLE(2, 3, 0, 1)),
          _mm256_shuffle_epi32(second, _MM_SHUFFLE(2, 3, 0, 1)));
    auto least_bits = static_cast<uint32_t>(_mm256_cvtsi256_si32(least));
    auto second_bits = static_cast<uint32_t>(_mm256_cvtsi256_si32(second));
    uint32_t parity = static_cast<uint32_t>(std::popcount(
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(signs)))));
    // The row's last entries, fewer than a vector, one by one.
    for (; i < n; ++i) {
      const float v = marginal[column[i]] - out[i];
      input[i] = v;
      const uint32_t bits = std::bit_cast<uint32_t>(v);
      const uint32_t a = bits & 0x7fffffffu;
      const uint32_t high = a < least_bits ? least_bits : a;
      least_bits = a < least_bits ? a : least_bits;
      second_bits = high < second_bits ? high : second_bits;
      parity ^= bits >> 31;
    }
    const uint32_t sign = ((p.syndrome[r] ^ parity) & 1u) << 31;
    const uint32_t small_bits = std::bit_cast<uint32_t>(p.alpha * std::bit_cast<float>(least_bits));
    const uint32_t large_bits = std::bit_cast<uint32_t>(p.alpha * std::bit_cast<float>(second_bits));
    const __m256i small = _mm256_set1_epi32(static_cast<int>(small_bits));
    const __m256i large = _mm256_set1_epi32(static_cast<int>(large_bits));
    const __m256i least_v = _mm256_set1_epi32(static_cast<int>(least_bits));
    const __m256i sign_v = _mm256_set1_epi32(static_cast<int>(sign));
    alignas(32) float sums[kLanes];
    i = 0;
    for (; i + kLanes <= n; i += kLanes) {
      const __m256 v = _mm256_loadu_ps(input + i);
      const __m256i bits = _mm256_castps_si256(v);
      // The least input but this entry's own: the second least where this entry gave the least.
      const __m256i mine = _mm256_cmpeq_epi32(_mm256_and_si256(bits, magnitude_bits), least_v);
      const __m256i magnitude = _mm256_blendv_epi8(small, large, mine);
      const __m256i message = _mm256_xor_si256(magnitude, _mm256_and_si256(_mm256_xor_si256(bits, sign_v), sign_bit));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), message);
      _mm256_store_ps(sums, _mm256_add_ps(v, _mm256_castsi256_ps(message)));
      for (uint32_t j = 0; j < kLanes; ++j) marginal[column[i + j]] = sums[j];
    }
    for (; i < n; ++i) {
      const uint32_t bits = std::bit_cast<uint32_t>(input[i]);
      const uint32_t magnitude = (bits & 0x7fffffffu) == least_bits ? large_bits : small_bits;
      const float m = std::bit_cast<float>(magnitude ^ (sign ^ (bits & 0x80000000u)));
      out[i] = m;
      marginal[column[i]] = input[i] + m;
    }
  }
}

}  // namespace

LayeredKernel layered_pass_avx2() { return __builtin_cpu_supports("avx2") ? &pass : nullptr; }

#else

LayeredKernel layered_pass_avx2() { return nullptr; }

#endif

}  // namespace ostrel::decode::belief
