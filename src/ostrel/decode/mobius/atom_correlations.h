#pragma once
// Correlations between atoms that make up one error (a Y error's X and Z parts, a hook's
// pieces), as correlated matching keeps them between edges (Fowler, arXiv:1310.0863): once a
// correction holds atom a, an atom b of an error shared with a has become far more likely, with
// probability q = max(joint / p(a), p(b)) (q at most 1/2), joint being the probability of the
// shared error. A pair is kept only when that lowers b's weight.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/mobius/atoms.h"

namespace ostrel::decode::mobius {

struct AtomCorrelation {
  uint32_t atom;  // the correlated atom
  double weight;  // its ln((1 - q) / q) once the atom listing it is in a correction
};

struct AtomCorrelations {
  std::vector<uint32_t> start;  // per atom, into list; empty when there are none
  std::vector<AtomCorrelation> list;

  std::span<const AtomCorrelation> of(uint32_t atom) const {
    if (start.empty()) return {};
    return std::span(list).subspan(start[atom], start[atom + 1] - start[atom]);
  }
};

// Errors of more than this many atoms give none: their pairs grow as the square of their size.
inline constexpr size_t kMaxCorrelatedAtoms = 4;

// `weights`: each atom's own ln((1 - p) / p).
AtomCorrelations correlate_atoms(const AtomModel& atoms, std::span<const double> weights);

}  // namespace ostrel::decode::mobius
