#pragma once
// The portable path of both CRCs the format uses (CRC-32 for headers, CRC-32C for payloads):
// slicing by 8 over the reflected polynomial, without the initial and final inversions.
#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrel::qssf {

template <uint32_t ReflectedPolynomial>
class SlicingCrc {
 public:
  // Runs the register `c` over `n` bytes at `p`.
  static uint32_t update(uint32_t c, const uint8_t* p, size_t n) noexcept {
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

 private:
  // table[k][b] is the CRC of byte b followed by k zero bytes.
  static constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t c = b;
      for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ ReflectedPolynomial : c >> 1;
      t[0][b] = c;
    }
    for (size_t k = 1; k < 8; ++k)
      for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
  }
  static constexpr uint32_t load_le32(const uint8_t* p) noexcept {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }

  static constexpr std::array<std::array<uint32_t, 256>, 8> kTables = make_tables();
};

}  // namespace ostrel::qssf
