#include "ostrel/qssf/crc32c.h"

#include <array>
#include <cstring>

#include "ostrel/qssf/crc_tables.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define OSTREL_CRC32C_SSE42 1
#endif

namespace ostrel::qssf {
namespace {

// Runs the register `c` over the bytes, without the initial and final inversions.
uint32_t update_by_table(uint32_t c, const uint8_t* p, size_t n) noexcept {
  return SlicingCrc<0x82F63B78u>::update(c, p, n);
}

#ifdef OSTREL_CRC32C_SSE42

// The instruction computes exactly this register update, eight bytes at a time (frame payloads
// are tens to hundreds of bytes: one dependency chain is enough).
__attribute__((target("sse4.2"))) uint32_t update_by_instruction(uint32_t c, const uint8_t* p,
                                                                 size_t n) noexcept {
  uint64_t c64 = c;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    c64 = _mm_crc32_u64(c64, word);
  }
  c = uint32_t(c64);
  // The tail in at most three steps: each costs the instruction's latency, whatever its width.
  if (n >= 4) {
    uint32_t word;
    std::memcpy(&word, p, 4);
    c = _mm_crc32_u32(c, word);
    p += 4;
    n -= 4;
  }
  if (n >= 2) {
    uint16_t half;
    std::memcpy(&half, p, 2);
    c = _mm_crc32_u16(c, half);
    p += 2;
    n -= 2;
  }
  if (n) c = _mm_crc32_u8(c, *p);
  return c;
}

bool has_sse42() noexcept {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}

#endif

}  // namespace

uint32_t crc32c_extend_by_table(uint32_t crc, std::span<const uint8_t> more) noexcept {
  return update_by_table(~crc, more.data(), more.size()) ^ 0xFFFFFFFFu;
}

uint32_t crc32c_extend(uint32_t crc, std::span<const uint8_t> more) noexcept {
#ifdef OSTREL_CRC32C_SSE42
  if (has_sse42()) return update_by_instruction(~crc, more.data(), more.size()) ^ 0xFFFFFFFFu;
#endif
  return crc32c_extend_by_table(crc, more);
}

uint32_t crc32c(std::span<const uint8_t> bytes) noexcept { return crc32c_extend(0, bytes); }

}  // namespace ostrel::qssf
