#pragma once
// Colour codes decoded by matching on the lifted graph (lifted_graph.h) and lifting the matching
// back to a set of the model's atoms (lift.h); the observables are those the atoms flip.
//
// The correlated variant re-weighs the lifted graph as correlated matching does: once a
// correction takes an atom of an error made of several (a Y error's X and Z parts, a hook's
// pieces), the error's other atoms weigh what they weigh given it occurred, and the matching runs
// again.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/graph_decoder.h"
#include "ostrel/decode/mobius/atoms.h"
#include "ostrel/decode/mobius/lift.h"
#include "ostrel/decode/mobius/lifted_graph.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::mobius {

struct MobiusOptions {
  bool correlated = false;
  // Correlated passes, accumulating (see correlated/correlated_decoder.h); at least 1.
  uint32_t max_passes = 4;
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
  std::span<const uint32_t> correction() const { return lift_.correction(); }
  // Whether its syndrome is the fired set.
  bool explained() const { return lift_.explained(); }
  // The matching's weight on the lifted graph, in ln((1 - p) / p) units.
  double matching_weight() { return matcher_->correction_weight(); }
  // The matching's lifted edges.
  std::span<const uint32_t> matched_edges() { return matcher_->correction(); }

  const AtomModel& atoms() const { return *atoms_; }
  const LiftedGraph& lifted() const { return *lifted_; }
  std::span<const uint8_t> marks() const { return *marks_; }
  uint64_t observable_count() const { return observable_count_; }

 private:
  MobiusDecoder(std::shared_ptr<const std::vector<uint8_t>> marks, std::shared_ptr<const AtomModel> atoms,
                std::shared_ptr<const LiftedGraph> lifted, std::unique_ptr<GraphDecoder> matcher,
                uint64_t observable_count);

  std::shared_ptr<const std::vector<uint8_t>> marks_;
  std::shared_ptr<const AtomModel> atoms_;
  std::shared_ptr<const LiftedGraph> lifted_;
  std::unique_ptr<GraphDecoder> matcher_;
  Lift lift_;
  uint64_t observable_count_ = 0;
  std::vector<uint8_t> parity_;  // per detector, this shot
  std::vector<uint32_t> fired_;
  std::vector<uint32_t> nodes_;
};

}  // namespace ostrel::decode::mobius
