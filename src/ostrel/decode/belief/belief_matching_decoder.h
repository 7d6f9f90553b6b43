#pragma once
// Belief-matching (Higgott et al., arXiv:2203.04948): belief propagation on the model's errors
// whole (hyperedges), then exact matching on the graph of their `^`-separated components, each
// edge weighed by BP's posterior: the probability that an odd number of the errors containing it
// occurred, each error at its column's marginal (a share of it, when equal columns were merged).
//
// The model must be decomposed: every component flips one or two detectors. Its joined errors are
// BP's columns, its components the matching graph's edges.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/belief/belief_propagation.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::belief {

struct BeliefMatchingOptions {
  // Serial (layered) BP meets the syndrome in fewer iterations; on the surface code 10 serial
  // iterations weigh the graph as well as 20 parallel ones, at half the time.
  BpOptions bp{.max_iter = 10, .method = BpMethod::kProductSum, .schedule = BpSchedule::kSerial};
};

class BeliefMatchingDecoder {
 public:
  static Result<BeliefMatchingDecoder, std::string> create(const dem::DetectorErrorModel& dem,
                                                           const BeliefMatchingOptions& options);

  uint64_t decode(std::span<const uint32_t> fired);
  // Edges of the decoding graph in the last correction, and its weight as BP weighed them.
  std::span<const uint32_t> correction() { return empty_ ? std::span<const uint32_t>() : matcher_->correction(); }
  double correction_weight() { return empty_ ? 0.0 : matcher_->correction_weight(); }
  const DecodingGraph& graph() const { return matcher_->graph(); }

  BeliefMatchingDecoder(const BeliefMatchingDecoder& other);
  BeliefMatchingDecoder& operator=(const BeliefMatchingDecoder&) = delete;
  BeliefMatchingDecoder(BeliefMatchingDecoder&&) = default;

 private:
  struct Share {
    uint32_t column;
    double fraction;  // of the column's marginal this error carries
  };
  BeliefMatchingDecoder(BeliefPropagation bp, std::unique_ptr<GraphDecoder> matcher, std::vector<Share> shares,
                        std::vector<uint32_t> edge_start, std::vector<uint32_t> edges);

  BeliefPropagation bp_;
  std::unique_ptr<GraphDecoder> matcher_;
  // Per error with a column: its share, and its graph edges edges_[edge_start_[i] .. edge_start_[i + 1]).
  std::vector<Share> shares_;
  std::vector<uint32_t> edge_start_;
  std::vector<uint32_t> edges_;
  std::vector<double> edge_probability_;  // per graph edge, this shot's posterior
  bool empty_ = false;                    // the last shot fired nothing
};

}  // namespace ostrel::decode::belief
