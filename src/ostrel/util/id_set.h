#pragma once
// A set of 32-bit ids as a bitmap allocated in 8 KiB pages on first use: dense id ranges cost
// one bit each, and a lone huge id costs one page plus the page table up to it.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace ostrel {

class IdSet {
 public:
  bool contains(uint32_t id) const {
    const uint32_t page = id >> kPageBits;
    return page < pages_.size() && pages_[page] && ((*pages_[page])[word(id)] >> bit(id) & 1) != 0;
  }

  // Adds `id`; false if it was already present.
  bool insert(uint32_t id) {
    const uint32_t page = id >> kPageBits;
    if (page >= pages_.size()) pages_.resize(size_t{page} + 1);
    if (!pages_[page]) pages_[page] = std::make_unique<Page>();
    uint64_t& w = (*pages_[page])[word(id)];
    const uint64_t mask = uint64_t{1} << bit(id);
    if (w & mask) return false;
    w |= mask;
    return true;
  }

 private:
  static constexpr uint32_t kPageBits = 16;
  using Page = std::array<uint64_t, (1u << kPageBits) / 64>;
  static uint32_t word(uint32_t id) { return (id & ((1u << kPageBits) - 1)) >> 6; }
  static uint32_t bit(uint32_t id) { return id & 63; }

  std::vector<std::unique_ptr<Page>> pages_;
};

}  // namespace ostrel
