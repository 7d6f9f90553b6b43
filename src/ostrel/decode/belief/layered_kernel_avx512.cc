// The layered pass in AVX-512, built whatever the compiler's flags (a target attribute) and
// chosen only on processors that have it. Compiled without contraction of multiplies and adds
// into fused ones (CMakeLists.txt), so that each result rounds as the portable pass's does.
#include <bit>

#include "ostrel/decode/belief/layered_kernel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSTREL_LAYERED_AVX512 1
#endif

namespace ostrel::decode::belief {

#ifdef OSTREL_LAYERED_AVX512
namespace {

#define OSTREL_AVX512 __attribute__((target("avx512f")))

constexpr uint32_t kLanes = 16;

OSTREL_AVX512 inline __mmask16 lanes_left(uint32_t left) {
  return left >= kLanes ? static_cast<__mmask16>(0xffff) : static_cast<__mmask16>((1u << left) - 1);
}

// Unmasked forms whose headers (GCC 12) start from an undefined register, which -Wall flags:
// the zero-masked forms with every lane on are the same instructions.
constexpr __mmask16 kAll = 0xffff;
OSTREL_AVX512 inline __m512i min_u32(__m512i a, __m512i b) { return _mm512_maskz_min_epu32(kAll, a, b); }
OSTREL_AVX512 inline __m512i max_u32(__m512i a, __m512i b) { return _mm512_maskz_max_epu32(kAll, a, b); }
// The other half's lanes, the other quarter's, the other pair's, the other lane's.
OSTREL_AVX512 inline __m512i swap_halves(__m512i a) { return _mm512_maskz_shuffle_i32x4(kAll, a, a, _MM_SHUFFLE(1, 0, 3, 2)); }
OSTREL_AVX512 inline __m512i swap_quarters(__m512i a) { return _mm512_maskz_shuffle_i32x4(kAll, a, a, _MM_SHUFFLE(2, 3, 0, 1)); }
OSTREL_AVX512 inline __m512i swap_pairs(__m512i a) { return _mm512_maskz_shuffle_epi32(kAll, a, _MM_PERM_BADC); }
OSTREL_AVX512 inline __m512i swap_lanes(__m512i a) { return _mm512_maskz_shuffle_epi32(kAll, a, _MM_PERM_CDAB); }

OSTREL_AVX512 inline uint32_t first_lane(__m512i a) {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm512_maskz_extracti32x4_epi32(0xf, a, 0)));
}

// Merges the (least, second least) pairs of other lanes into each lane's.
OSTREL_AVX512 inline void merge(__m512i& least, __m512i& second, __m512i other_least, __m512i other_second) {
  second = min_u32(min_u32(second, other_second), max_u32(least, other_least));
  least = min_u32(least, other_least);
}

OSTREL_AVX512 void bias_pass(const LayeredPass& p) {
  const __m512 uniform = _mm512_set1_ps(p.gamma);
  for (uint32_t c = 0; c < p.column_count; c += kLanes) {
    const __mmask16 m = lanes_left(p.column_count - c);
    const __m512 prior = _mm512_maskz_loadu_ps(m, p.prior + c);
    const __m512 marginal = _mm512_maskz_loadu_ps(m, p.marginal + c);
    const __m512 old = _mm512_maskz_loadu_ps(m, p.bias + c);
    const __m512 g = p.gammas ? _mm512_maskz_loadu_ps(m, p.gammas + c) : uniform;
    const __m512 b = _mm512_add_ps(prior, _mm512_mul_ps(g, _mm512_sub_ps(marginal, prior)));
    _mm512_mask_storeu_ps(p.marginal + c, m, _mm512_add_ps(marginal, _mm512_sub_ps(b, old)));
    _mm512_mask_storeu_ps(p.bias + c, m, b);
  }
}

OSTREL_AVX512 void rows_pass(const LayeredPass& p) {
  const __m512i magnitude_bits = _mm512_set1_epi32(0x7fffffff);
  const __m512i sign_bit = _mm512_set1_epi32(static_cast<int>(0x80000000u));
  const __m512i ceiling = _mm512_set1_epi32(static_cast<int>(std::bit_cast<uint32_t>(kLayeredMaxMessage)));
  const __m512i zero = _mm512_setzero_si512();
  float* const marginal = p.marginal;
  float* const input = p.input;
  for (uint32_t r = 0; r < p.row_count; ++r) {
    const uint32_t b = p.row_start[r], n = p.row_start[r + 1] - b;
    const uint32_t* const column = p.row_columns + b;
    float* const out = p.message + b;
    __m512i least = ceiling, second = ceiling, signs = zero;
    for (uint32_t i = 0; i < n; i += kLanes) {
      const __mmask16 m = lanes_left(n - i);
      const __m512i at = _mm512_maskz_loadu_epi32(m, column + i);
      const __m512 gathered = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), m, at, marginal, 4);
      // Lanes past the row read +0 (no sign) and fold the ceiling (no least).
      const __m512 v = _mm512_sub_ps(gathered, _mm512_maskz_loadu_ps(m, out + i));
      _mm512_mask_storeu_ps(input + i, m, v);
      const __m512i bits = _mm512_castps_si512(v);
      const __m512i a = _mm512_mask_and_epi32(ceiling, m, bits, magnitude_bits);
      const __m512i high = max_u32(a, least);
      least = min_u32(a, least);
      second = min_u32(high, second);
      signs = _mm512_xor_si512(signs, bits);
    }
    merge(least, second, swap_halves(least), swap_halves(second));
    merge(least, second, swap_quarters(least), swap_quarters(second));
    merge(least, second, swap_pairs(least), swap_pairs(second));
    merge(least, second, swap_lanes(least), swap_lanes(second));
    const uint32_t least_bits = first_lane(least), second_bits = first_lane(second);
    const uint32_t parity = static_cast<uint32_t>(std::popcount(
                                static_cast<unsigned>(_mm512_cmplt_epi32_mask(signs, zero)))) & 1u;
    const uint32_t sign = (p.syndrome[r] ^ parity) << 31;
    const __m512i small = _mm512_set1_epi32(
        static_cast<int>(std::bit_cast<uint32_t>(p.alpha * std::bit_cast<float>(least_bits))));
    const __m512i large = _mm512_set1_epi32(
        static_cast<int>(std::bit_cast<uint32_t>(p.alpha * std::bit_cast<float>(second_bits))));
    const __m512i least_v = _mm512_set1_epi32(static_cast<int>(least_bits));
    const __m512i sign_v = _mm512_set1_epi32(static_cast<int>(sign));
    for (uint32_t i = 0; i < n; i += kLanes) {
      const __mmask16 m = lanes_left(n - i);
      const __m512 v = _mm512_maskz_loadu_ps(m, input + i);
      const __m512i bits = _mm512_castps_si512(v);
      // The least input but this entry's own: the second least where this entry gave the least.
      const __mmask16 mine = _mm512_cmpeq_epi32_mask(_mm512_and_si512(bits, magnitude_bits), least_v);
      const __m512i magnitude = _mm512_mask_blend_epi32(mine, small, large);
      const __m512i message = _mm512_xor_si512(magnitude, _mm512_and_si512(_mm512_xor_si512(bits, sign_v), sign_bit));
      _mm512_mask_storeu_epi32(out + i, m, message);
      const __m512i at = _mm512_maskz_loadu_epi32(m, column + i);
      _mm512_mask_i32scatter_ps(marginal, m, at, _mm512_add_ps(v, _mm512_castsi512_ps(message)), 4);
    }
  }
}

OSTREL_AVX512 uint32_t next_change(const float* marginal, const uint8_t* hard, uint32_t from, uint32_t count) {
  const __m512i zero = _mm512_setzero_si512();
  uint32_t c = from;
  for (; c + kLanes <= count; c += kLanes) {
    const __m512i decided = _mm512_maskz_cvtepu8_epi32(kAll, _mm_loadu_si128(reinterpret_cast<const __m128i*>(hard + c)));
    const __mmask16 before = _mm512_cmpneq_epi32_mask(decided, zero);
    const __mmask16 now = _mm512_cmplt_epi32_mask(_mm512_castps_si512(_mm512_loadu_ps(marginal + c)), zero);
    if (const auto differ = static_cast<unsigned>(before ^ now); differ != 0)
      return c + static_cast<uint32_t>(std::countr_zero(differ));
  }
  for (; c < count; ++c)
    if ((std::bit_cast<uint32_t>(marginal[c]) >> 31) != hard[c]) return c;
  return count;
}

void pass(const LayeredPass& p) {
  bias_pass(p);
  rows_pass(p);
}

}  // namespace

LayeredKernel layered_pass_avx512() { return __builtin_cpu_supports("avx512f") ? &pass : nullptr; }
DecisionScan next_decision_change_avx512() { return __builtin_cpu_supports("avx512f") ? &next_change : nullptr; }

#else

LayeredKernel layered_pass_avx512() { return nullptr; }
DecisionScan next_decision_change_avx512() { return nullptr; }

#endif

}  // namespace ostrel::decode::belief
