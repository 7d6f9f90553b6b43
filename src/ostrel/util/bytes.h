#pragma once
// Little-endian loads from unaligned byte pointers.
#include <cstdint>
#include <cstring>

namespace ostrel {

inline uint16_t load_le16(const uint8_t* p) noexcept { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load_le32(const uint8_t* p) noexcept {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load_le64(const uint8_t* p) noexcept {
  return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32;
}

}  // namespace ostrel
