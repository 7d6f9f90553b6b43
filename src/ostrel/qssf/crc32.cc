#include "ostrel/qssf/crc32.h"

#include <array>
#include <cstring>

#include "ostrel/qssf/crc_tables.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSTREL_CRC_CLMUL 1
#endif

namespace ostrel::qssf {
namespace {

// Runs the register `c` over the bytes, without the initial and final inversions.
uint32_t update_by_table(uint32_t c, const uint8_t* p, size_t n) noexcept {
  return SlicingCrc<0xEDB88320u>::update(c, p, n);
}

#ifdef OSTREL_CRC_CLMUL

// x^n mod P for the generator P = x^32 + 0x04C11DB7 (bit d holds the coefficient of x^d), given
// as the bit-reversed 64-bit operand that a reflected carry-less multiply takes.
constexpr uint64_t reflected_power(unsigned n) {
  uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) r = (r << 1) ^ ((r >> 31) ? 0x04C11DB7u : 0u);
  uint64_t out = 0;
  for (unsigned d = 0; d < 32; ++d)
    if ((r >> d) & 1) out |= uint64_t(1) << (63 - d);
  return out;
}

// Folding. A 16-byte block loaded little-endian holds, in reflected order, A = H x^64 + L (H in
// the low half). Moving it 128 bits further down the message multiplies it by x^128:
// A x^128 = H x^192 + L x^128, congruent mod P to H (x^192 mod P) + L (x^128 mod P), a
// polynomial of under 128 bits that is added to the next block. A reflected carry-less product
// of two 64-bit operands lands one bit short of the 128-bit reflected position, which the
// constants absorb by being taken one power lower.
constexpr uint64_t kFoldHigh = reflected_power(191);
constexpr uint64_t kFoldLow = reflected_power(127);

__attribute__((target("pclmul,sse4.1"))) uint32_t update_by_clmul(uint32_t c, const uint8_t* p,
                                                                   size_t n) noexcept {
  const __m128i k = _mm_set_epi64x(static_cast<long long>(kFoldLow), static_cast<long long>(kFoldHigh));
  __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                            _mm_cvtsi32_si128(static_cast<int>(c)));
  p += 16;
  n -= 16;
  for (; n >= 16; p += 16, n -= 16) {
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
  }
  // The folded block is congruent to the whole message so far: its CRC from a zero register
  // is the register for what follows.
  uint8_t block[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(block), x);
  return update_by_table(update_by_table(0, block, 16), p, n);
}

bool has_clmul() noexcept {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

#endif

}  // namespace

uint32_t crc32_by_table(std::span<const uint8_t> bytes) noexcept {
  return update_by_table(0xFFFFFFFFu, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
}

uint32_t crc32(std::span<const uint8_t> bytes) noexcept {
#ifdef OSTREL_CRC_CLMUL
  // Folding pays from two blocks on; shorter inputs go by table.
  if (bytes.size() >= 32 && has_clmul())
    return update_by_clmul(0xFFFFFFFFu, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
#endif
  return crc32_by_table(bytes);
}

}  // namespace ostrel::qssf
