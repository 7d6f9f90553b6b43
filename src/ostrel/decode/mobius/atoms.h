#pragma once
// The model's errors as "atoms": pieces in one basis that flip at most one detector of each
// colour (one, two or three detectors), or two detectors of one colour (a check measured wrong
// between two rounds). An error is its atoms together: a Y error is an X-type and a Z-type atom;
// an error flipping more (a hook, or faults spread by the circuit) is split into atoms that single
// errors of the model flip, so that its observables are theirs.
//
// Atoms with the same detectors are one atom whose probability is that of an odd number of them
// (p1(1 - p2) + p2(1 - p1)), with the observables of the most probable contribution.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::mobius {

struct Atom {
  std::array<uint32_t, 3> detectors{};  // ascending; the first `size` are used
  uint8_t size = 0;
  uint64_t observables = 0;
  double probability = 0.0;

  std::span<const uint32_t> view() const { return std::span(detectors).first(size); }
};

struct AtomModel {
  std::vector<Atom> atoms;
  // Errors made of two or more atoms: the atoms of error i are
  // members[member_start[i] .. member_start[i + 1]), with the error's probability.
  std::vector<uint32_t> member_start{0};
  std::vector<uint32_t> members;
  std::vector<double> joint_probability;
  // Atoms at each detector: at[at_start[d] .. at_start[d + 1]).
  std::vector<uint32_t> at_start;
  std::vector<uint32_t> at;
  // Errors left out: a part of them no split reaches (see decompose_errors).
  uint64_t left_out = 0;

  size_t composite_count() const { return joint_probability.size(); }
  std::span<const uint32_t> atoms_of_composite(size_t i) const {
    return std::span(members).subspan(member_start[i], member_start[i + 1] - member_start[i]);
  }
  std::span<const uint32_t> atoms_at(uint32_t detector) const {
    return std::span(at).subspan(at_start[detector], at_start[detector + 1] - at_start[detector]);
  }
};

// `marks` from read_detector_colours. Errors with p = 0 (or not a number) are left out, and
// ignored detectors are dropped from every error. Fails naming the first error left out that
// flips a detector no single error of the model flips, and models with observables beyond the 64th.
Result<AtomModel, std::string> decompose_errors(const dem::DetectorErrorModel& model, std::span<const uint8_t> marks);

}  // namespace ostrel::decode::mobius
