#include "ostrel/util/utf8.h"

namespace ostrel {

bool is_valid_utf8(std::span<const uint8_t> s) noexcept {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace ostrel
