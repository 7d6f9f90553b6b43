#pragma once
// From a matching on the lifted graph back to a colour-code correction: a set of atoms whose
// syndrome is the shot's fired detectors.
//
// Atoms whose edges the matching all took are in the correction (on each matched edge, the
// lightest such atom). The matching may also take a part of an atom, as where the edges of
// different atoms coincide in one subgraph but flip different detectors of the third colour; what
// the whole atoms then leave unexplained is a few detectors around that spot, explained by the
// lightest set of at most kMaxRepairAtoms atoms met there (a bounded search from the lowest
// unexplained detector). Work follows the matched edges and the detectors they reach.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/mobius/atoms.h"
#include "ostrel/decode/mobius/lifted_graph.h"

namespace ostrel::decode::mobius {

inline constexpr uint32_t kMaxRepairAtoms = 4;

class Lift {
 public:
  Lift(std::shared_ptr<const AtomModel> atoms, std::shared_ptr<const LiftedGraph> lifted);

  // `edges`: the lifted graph's edges of a matching; `fired`: the shot's marked fired detectors.
  // Returns the observables the correction flips.
  uint64_t lift(std::span<const uint32_t> edges, std::span<const uint32_t> fired);
  // The last correction's atoms, and whether its syndrome is the fired set (false only when the
  // bounded search gave up).
  std::span<const uint32_t> correction() const { return correction_; }
  bool explained() const { return explained_; }

 private:
  void toggle(uint32_t atom);
  bool search(uint32_t depth, double weight);

  std::shared_ptr<const AtomModel> atoms_;
  std::shared_ptr<const LiftedGraph> lifted_;
  std::vector<uint8_t> in_matching_;  // per lifted edge, this shot
  std::vector<uint32_t> matched_;
  std::vector<uint8_t> parity_;   // per detector: fired xor flipped by the correction
  std::vector<uint8_t> listed_;   // per detector: in seen_
  std::vector<uint32_t> seen_;    // detectors whose parity was changed this shot
  uint32_t odd_ = 0;              // detectors of odd parity
  std::vector<uint32_t> correction_;
  std::vector<uint32_t> stack_, best_;
  double best_weight_ = 0.0;
  bool found_ = false;
  uint32_t budget_ = 0;
  bool explained_ = true;
};

}  // namespace ostrel::decode::mobius
