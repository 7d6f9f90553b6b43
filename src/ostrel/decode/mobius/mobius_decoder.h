#pragma once
// Colour codes decoded by matching on the lifted graph (lifted_graph.h) and lifting the matching
// back to a set of the model's atoms (lift.h); the observables are those the atoms flip.
//
// The lifted matching may take single edges of atoms (a piece of a three-detector atom where a
// boundary or measurement error ran), paying a share of the atom where the lift then needs whole
// atoms. With reprice_pieces, the shot is then matched again with each such piece weighing its
// whole atom, and the two corrections are combined part by part, the lighter kept
// (lighter_parts.h): a second candidate on the shots that need one, chosen by the weight of the
// atoms themselves.
//
// The correlated variant re-weighs as correlated matching does, from the lifted correction:
// once it holds an atom of an error made of several (a Y error's X and Z parts, a hook's pieces),
// the error's other atoms weigh what they weigh given it occurred (atom_correlations.h), in the
// lifted graph and in the lift's graphs alike, and the shot is decoded again. Weights only fall
// from pass to pass, and the passes stop once a correction lowers nothing new.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/mobius/atom_correlations.h"
#include "ostrel/decode/mobius/atoms.h"
#include "ostrel/decode/mobius/lift.h"
#include "ostrel/decode/mobius/lifted_graph.h"
#include "ostrel/decode/mobius/lighter_parts.h"
#include "ostrel/decode/mobius/underpaid_pieces.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::mobius {

struct MobiusOptions {
  bool correlated = false;
  // Decodes per shot at most, the first included (correlated only; at least 1).
  uint32_t max_passes = 4;
  // Where the matching took pieces of atoms, match the shot again with each piece at its whole
  // atom's weight and keep the lighter side of each part where the corrections differ: fewer
  // failures, at about one more matching on the shots that need it.
  bool reprice_pieces = false;
};

class MobiusDecoder {
 public:
  // Fails for a model whose detectors lack colour marks (detector_colours.h), whose errors do not
  // split into atoms (atoms.h), or that the memory budget refuses.
  static Result<MobiusDecoder, std::string> create(const dem::DetectorErrorModel& model,
                                                   const MobiusOptions& options = {});

  MobiusDecoder(const MobiusDecoder& other);
  MobiusDecoder(MobiusDecoder&&) noexcept = default;
  MobiusDecoder& operator=(MobiusDecoder&&) noexcept = default;

  // Fired detectors in any order; indices past the model and ignored detectors are skipped, a
  // detector listed twice cancels. Returns the observable mask.
  uint64_t decode(std::span<const uint32_t> fired_detectors);

  // The last correction: indices into atoms().atoms.
  std::span<const uint32_t> correction() const { return correction_; }
  // Whether its syndrome is the fired set.
  bool explained() const { return explained_; }
  // The last matching on the lifted graph: its weight (ln((1 - p) / p) units, as that pass weighed
  // the edges) and its edges. (Detectors a lift leaves unexplained, which is rare, are decoded
  // by a matching of their own; this is then that one.)
  // The first pass's second candidate (see the .cc) is not this matching.
  double matching_weight() { return kept_first_ ? first_weight_ : matcher_->correction_weight(); }
  std::span<const uint32_t> matched_edges();
  // Passes the last decode ran.
  uint32_t last_passes() const { return last_passes_; }

  const AtomModel& atoms() const { return *atoms_; }
  const LiftedGraph& lifted() const { return *lifted_; }
  std::span<const uint8_t> marks() const { return *marks_; }
  uint64_t observable_count() const { return observable_count_; }
  bool correlated() const { return correlations_ != nullptr; }

 private:
  MobiusDecoder(std::shared_ptr<const std::vector<uint8_t>> marks, std::shared_ptr<const AtomModel> atoms,
                std::shared_ptr<const LiftedGraph> lifted, std::shared_ptr<const AtomCorrelations> correlations,
                uint32_t max_passes, bool reprice_pieces, uint64_t observable_count);

  // A decode under the weights now; the first also weighs a second candidate (see the .cc).
  uint64_t pass(bool again);
  // Matching, lift and the lifts of what a lift leaves over.
  uint64_t candidate(bool again);
  // The first pass's two candidates.
  std::vector<uint32_t> saved_correction_, second_;
  bool residual_ran_ = false;  // the last candidate's lift left detectors over
  bool kept_first_ = false;    // the first matching is kept below, the matcher holds another
  double first_weight_ = 0.0;
  std::vector<uint32_t> first_matched_;
  // Lowers the atoms correlated with the correction; returns whether any fell.
  bool lower_from_correction();
  void restore_weights();

  std::shared_ptr<const std::vector<uint8_t>> marks_;
  std::shared_ptr<const AtomModel> atoms_;
  std::shared_ptr<const LiftedGraph> lifted_;
  std::shared_ptr<const AtomCorrelations> correlations_;  // null unless correlated
  uint32_t max_passes_ = 1;
  bool reprice_pieces_ = false;
  std::unique_ptr<matching::MatchingDecoder> matcher_;
  Lift lift_;
  LighterParts lighter_;
  UnderpaidPieces underpaid_;
  std::vector<uint32_t> explaining_;  // the first lift's atoms other than the matching's whole ones
  uint64_t observable_count_ = 0;
  uint32_t last_passes_ = 0;
  std::vector<uint8_t> parity_;  // per detector, this shot
  std::vector<uint8_t> in_correction_;  // per atom, while pricing pieces (reprice_pieces only)
  std::vector<uint32_t> fired_;
  std::vector<uint32_t> nodes_;
  std::vector<uint32_t> correction_;
  bool explained_ = true;
  bool growth_is_shot_ = false;  // the matcher's last growth is of this shot's nodes
  std::vector<uint32_t> residual_, residual_nodes_;
  // Re-weighting state (correlated only).
  std::vector<double> atom_now_;       // per atom: its lowered weight, or +inf
  std::vector<uint32_t> lowered_atoms_;
  std::vector<int32_t> edge_now_;      // per lifted edge: its weight now
  std::vector<uint32_t> lowered_edges_;
};

}  // namespace ostrel::decode::mobius
