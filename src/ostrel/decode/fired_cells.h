#pragma once
// Scanning a detector matrix for fired cells: those whose byte is exactly 1. Matrices are mostly
// zero, so whole 8-byte words of zeros are skipped at once.
#include <cstdint>
#include <cstring>
#include <span>

namespace ostrel::decode {

// Calls visit(index) for each index of `cells`, ascending, whose byte equals 1.
template <class Visit>
void for_each_fired_cell(std::span<const uint8_t> cells, Visit&& visit) {
  const uint8_t* data = cells.data();
  const size_t n = cells.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, sizeof word);
    if (word == 0) continue;
    for (size_t j = i; j < i + 8; ++j) {
      if (data[j] == 1) visit(j);
    }
  }
  for (; i < n; ++i) {
    if (data[i] == 1) visit(i);
  }
}

}  // namespace ostrel::decode
