#pragma once
// What the stream harnesses share: a byte source that hands out the input in pieces whose sizes
// follow a small generator seeded by the input, and the ring sizes they pick from.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "ostrel/qssf/byte_source.h"

namespace ostrel::fuzz {

// One xorshift step.
inline uint32_t next_state(uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

class ChunkedSource final : public qssf::ByteSource {
 public:
  ChunkedSource(std::span<const uint8_t> bytes, uint8_t seed) : bytes_(bytes), state_(seed * 2654435761u + 1) {}

  Result<size_t, qssf::QssfError> read(std::span<uint8_t> buf) override {
    if (buf.empty()) std::abort();  // the reader never asks for nothing
    if (bytes_.empty()) return size_t{0};
    // Mostly small pieces, sometimes whatever fits.
    const uint32_t s = next_state(state_);
    const size_t limit = (s & 3) == 0 ? buf.size() : size_t{1} + (s >> 8) % 64;
    const size_t n = std::min({limit, buf.size(), bytes_.size()});
    std::copy_n(bytes_.begin(), n, buf.begin());
    bytes_ = bytes_.subspan(n);
    return n;
  }

 private:
  std::span<const uint8_t> bytes_;
  uint32_t state_;
};

// Rings small enough that frames wrap, down to one that holds only the stream header.
inline constexpr std::array<uint64_t, 8> kRingSizes = {97, 251, 1024, 4096, 36, 64, 65536, 26};

}  // namespace ostrel::fuzz
