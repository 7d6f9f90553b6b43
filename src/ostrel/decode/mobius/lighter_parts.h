#pragma once
// Two corrections of one shot (sets of atoms with the same syndrome) differ by a set of atoms that
// flips no detector. Split by shared detectors, each connected part of that difference flips none
// either, so either correction's atoms there can stand for the other's without touching the rest:
// keeping the lighter side of each part gives a correction of the same syndrome no heavier than
// either, and lighter than both where each wins somewhere.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/mobius/atoms.h"

namespace ostrel::decode::mobius {

class LighterParts {
 public:
  LighterParts(const AtomModel& atoms, std::span<const double> atom_weight);

  // `first` becomes the combination of `first` and `second` (both without repeated atoms).
  void keep_lighter(std::vector<uint32_t>& first, std::span<const uint32_t> second);

 private:
  // Connected parts of `atoms` (atoms meet where they share a detector), as a forest over them.
  void split(std::span<const uint32_t> atoms);
  uint32_t root(uint32_t i);

  const AtomModel* atoms_;
  std::span<const double> weight_;
  std::vector<uint32_t> owner_;  // per detector: an atom met there, or none (between calls)
  std::vector<uint32_t> a_, b_, difference_, parent_, touched_;
  std::vector<uint8_t> from_second_;
  std::vector<double> balance_;  // per part: its weight in `first` less that in `second`
};

}  // namespace ostrel::decode::mobius
