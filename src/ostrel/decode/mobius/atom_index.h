#pragma once
// The atom flipping exactly a given set of detectors, found in constant time: the lift asks this
// for every pair of its atoms that meet, many times a shot, where a walk over the atoms at a
// detector costs dozens of comparisons under circuit noise.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/mobius/atoms.h"

namespace ostrel::decode::mobius {

inline constexpr uint32_t kNoAtom = UINT32_MAX;

class AtomIndex {
 public:
  AtomIndex() = default;
  // Atoms have distinct detector sets (atoms.h).
  explicit AtomIndex(std::span<const Atom> atoms);

  // `detectors` ascending, one to three of them; kNoAtom when no atom flips exactly those.
  uint32_t find(std::span<const uint32_t> detectors) const;

 private:
  // Open addressing, linear probing, at most half full; unused detector places hold kNoAtom.
  struct Slot {
    std::array<uint32_t, 3> detectors{kNoAtom, kNoAtom, kNoAtom};
    uint32_t atom = kNoAtom;
  };
  static uint64_t hash(const std::array<uint32_t, 3>& key);
  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
};

}  // namespace ostrel::decode::mobius
