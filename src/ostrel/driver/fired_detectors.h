#pragma once
// A shot as the list of its fired detectors, from the layouts callers hold shots in: one element
// per detector (non-zero = fired) at any stride, or eight detectors per byte, lowest bit first.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ostrel::driver {

// Replaces `out` with the fired detectors among the first `detectors`, ascending; `count` elements
// (or bytes, bit packed) are read `stride` bytes apart. Bits past `detectors` are ignored.
inline void collect_fired(const uint8_t* data, std::ptrdiff_t stride, size_t count, bool bit_packed, uint64_t detectors,
                          std::vector<uint32_t>& out) {
  out.clear();
  size_t i = 0;
  if (stride == 1 && !bit_packed && std::endian::native == std::endian::little) {
    // Shots are mostly zeros: skip them eight bytes at a time; each non-zero byte, lowest
    // address first, is the word's lowest set bit, then that byte is cleared.
    for (; i + 8 <= count; i += 8) {
      uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      while (word) {
        const int byte = std::countr_zero(word) >> 3;
        out.push_back(static_cast<uint32_t>(i + byte));
        word &= ~(uint64_t{0xff} << (8 * byte));
      }
    }
  }
  for (; i < count; ++i) {
    const uint8_t byte = data[static_cast<std::ptrdiff_t>(i) * stride];
    if (!byte) continue;
    if (!bit_packed) {
      out.push_back(static_cast<uint32_t>(i));
      continue;
    }
    for (uint32_t b = 0; b < 8; ++b)
      if ((byte >> b & 1) && 8 * uint64_t(i) + b < detectors) out.push_back(static_cast<uint32_t>(8 * i + b));
  }
}

}  // namespace ostrel::driver
