#include "ostrel/qssf/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define OSTREL_CRC32C_SSE42 1
#endif

namespace ostrel::qssf {
namespace {

// Slicing-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes.
constexpr auto make_tables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    t[0][b] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}

constexpr auto kTables = make_tables();

uint32_t load_le32(const uint8_t* p) noexcept {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Runs the register `c` over the bytes, without the initial and final inversions.
uint32_t update_by_table(uint32_t c, const uint8_t* p, size_t n) noexcept {
  while (n >= 8) {
    const uint32_t lo = load_le32(p) ^ c;
    const uint32_t hi = load_le32(p + 4);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return c;
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
