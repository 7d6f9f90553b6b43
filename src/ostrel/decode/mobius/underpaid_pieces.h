#pragma once
// Which pieces of a lifted matching (matched edges that are no whole atom) are worth matching
// again at their whole atom's weight. The lift explains the pieces with atoms the matching never
// paid for. Joined by shared detectors into parts, a part whose explaining atoms weigh no more
// than the matching paid for its pieces was explained at the matching's own price: repricing its
// pieces makes them dearer than the explanation already taken, so the second matching is asked
// only about the parts where the lift paid more. (Measured on every circuit family at d = 5-9:
// skipping the shots whose pieces all lie in such parts changed no prediction, and repricing only
// the underpaid parts' pieces moved failures by a few either way, within the noise.)
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/mobius/atoms.h"
#include "ostrel/decode/mobius/lifted_graph.h"

namespace ostrel::decode::mobius {

class UnderpaidPieces {
 public:
  UnderpaidPieces(const AtomModel& atoms, const LiftedGraph& lifted);

  // `pieces`: lifted edges of the matching; `explaining`: the atoms the lift added for them (no
  // repeats). Returns the pieces of the parts where `explaining` weighs more than the pieces' edges
  // (in ln((1 - p) / p) units, edges at their graph weight).
  std::span<const uint32_t> find(std::span<const uint32_t> pieces, std::span<const uint32_t> explaining);

 private:
  uint32_t slot_of(uint32_t detector);
  uint32_t root(uint32_t i);
  void join(uint32_t a, uint32_t b) { parent_[root(a)] = root(b); }

  const AtomModel* atoms_;
  const LiftedGraph* lifted_;
  std::vector<uint32_t> slot_;      // per detector: its place in parent_, or none (between calls)
  std::vector<uint32_t> touched_;   // detectors given a slot this call
  std::vector<uint32_t> parent_;    // union-find over the slots
  std::vector<double> balance_;     // per root: explaining atoms' weight less the pieces'
  std::vector<uint32_t> out_;
};

}  // namespace ostrel::decode::mobius
