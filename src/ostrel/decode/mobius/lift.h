#pragma once
// From a matching on the lifted graph back to a colour-code correction: a set of atoms whose
// syndrome is the shot's fired detectors.
//
// Atoms whose edges the matching all took are in the correction (on each matched edge, the
// lightest such atom); the matched edges left over, few, are lifted as follows. Pick a colour c, say
// red, and let one node speak for each detector: its red-green node for a red or green detector,
// its blue-red node for a blue one. Every atom has one lifted edge at each
// node of each of its detectors, so a set of atoms flips a detector as often as its edges meet the
// node speaking for it. Any set of atoms whose edges meeting speaking nodes are the matching's
// edges there (each taken an odd number of times exactly when the matching took it) therefore
// flips exactly the fired detectors. An atom has one or two such edges, so such a set is a T-join
// on a second graph: a node per lifted edge, an edge per atom between its two (or to the
// boundary for one), T the matched edges meeting speaking nodes. Exact matching finds the
// lightest. The lift does this for each colour and keeps the lightest correction; the matched
// edges are few, so each costs what the shot's detection events cost.
//
// Where two atoms of the correction flip together what one lighter atom flips (a lift takes the
// edges the matching took, which may bend where another atom runs straight), that atom replaces
// them.
//
// Should no colour's T-join exist (the matching took edges no atom set reproduces), the atoms of
// the one leaving the fewest detectors unexplained are kept, and those detectors are explained by
// the lightest set of at most kMaxRepairAtoms atoms met there (a bounded search from the lowest
// unexplained detector); failing that, the caller decodes them as a shot of their own.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/mobius/atoms.h"
#include "ostrel/decode/mobius/component_tjoin.h"
#include "ostrel/decode/mobius/lifted_graph.h"

namespace ostrel::decode::mobius {

inline constexpr uint32_t kMaxRepairAtoms = 4;

class Lift {
 public:
  Lift(std::shared_ptr<const AtomModel> atoms, std::shared_ptr<const LiftedGraph> lifted);

  // `edges`: the lifted graph's edges of a matching; `fired`: the shot's marked fired detectors,
  // distinct. Returns the observables the correction flips.
  // `thorough` gives the bounded search a far larger budget and twice the atoms.
  uint64_t lift(std::span<const uint32_t> edges, std::span<const uint32_t> fired, bool thorough = false);
  // The last correction's atoms, and whether its syndrome is the fired set (false only when the
  // bounded search gave up).
  std::span<const uint32_t> correction() const { return correction_; }
  bool explained() const { return explained_; }
  // When not explained: the detectors the correction leaves unexplained, ascending.
  std::span<const uint32_t> residual() const { return residual_; }
  // The matched edges the last lift found no whole atom for (empty when the matching was whole atoms).
  std::span<const uint32_t> pieces() const { return rest_edges_; }
  // The atoms whose edges the matching took whole (the rest of the correction explains the pieces).
  std::span<const uint32_t> whole() const { return whole_; }

  // Weighs `atom` as `weight` (ln units) in the lifts that follow if that is lower, until
  // restore_weights().
  void lower_atom(uint32_t atom, double weight);
  void restore_weights();

 private:
  void toggle(uint32_t atom);
  void toggle_detector(uint32_t detector);
  void search(uint32_t depth, double weight);
  void clear_parity();
  // Whole atoms among the matched edges (greedily: on each edge, the lightest atom whose edges
  // are all matched) into whole_, the edges left into rest_edges_; whether none are left.
  bool take_whole_atoms(std::span<const uint32_t> edges);
  // Replaces two atoms of the correction by one atom flipping what they flip together (or by
  // nothing, where they cancel) wherever that is lighter, until nothing changes.
  // Pairs with an atom at `first` or later only.
  void merge_pairs(size_t first);
  // correction_[i] and [j] (meeting) replaced by something lighter flipping the same, or not;
  // atoms replaced by none are left as UINT32_MAX.
  bool merge_pair(size_t i, size_t j);
  uint32_t find_atom(std::span<const uint32_t> detectors) const;

  std::shared_ptr<const AtomModel> atoms_;
  std::shared_ptr<const LiftedGraph> lifted_;
  std::array<std::unique_ptr<matching::MatchingDecoder>, 3> matchers_;
  // The same T-joins without growth where the graphs' small components allow (no weight lowered).
  std::array<std::unique_ptr<ComponentTJoin>, 3> tjoins_;
  std::vector<uint32_t> targets_;
  std::vector<uint8_t> in_matching_;  // per lifted edge, this shot
  std::vector<uint32_t> matched_;
  std::vector<uint32_t> whole_, rest_edges_, rest_fired_;
  std::array<std::vector<int32_t>, 3> now_;  // per lift-graph edge: its weight now
  std::array<std::vector<uint32_t>, 3> lowered_;
  std::vector<uint8_t> parity_;   // per detector: fired xor flipped by the correction
  std::vector<uint8_t> listed_;   // per detector: in seen_
  std::vector<uint32_t> seen_;    // detectors whose parity was changed
  uint32_t odd_ = 0;              // detectors of odd parity
  std::vector<uint32_t> correction_, candidate_, residual_;
  std::vector<uint32_t> stack_, best_;
  std::vector<std::pair<uint32_t, uint32_t>> meets_;  // (detector, place in correction_)
  std::vector<uint8_t> meet_mark_;  // per detector, zero between rounds: bit 0 met at `first` on, bit 1 fresh
  std::vector<uint8_t> merged_;  // per correction_ place: replaced this round
  std::vector<uint8_t> fresh_;   // per correction_ place: replaced last round (all, in the first)
  double best_weight_ = 0.0;
  double lightest_ = 0.0;  // the lightest atom's weight
  std::vector<double> lightest_at_;  // per detector: the lightest atom's weight there
  bool found_ = false;
  uint32_t budget_ = 0;
  bool explained_ = true;
};

}  // namespace ostrel::decode::mobius
