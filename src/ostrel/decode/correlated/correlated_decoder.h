#pragma once
// Correlated decoding over any decoder of a decoding graph: decode, lower the weights of the edges
// that share an error with the correction's edges (the graph's correlations), decode again.
//
// Each pass after the first weighs the graph afresh from the correction of the pass before it:
// an edge takes the lowest weight any correction edge gives it through their shared errors, every
// other edge its own. Passing that on until the correction stops changing (or `max_passes` runs
// out) is iterative re-weighting; max_passes = 2 is the classic two-pass correlated matching. A
// pass whose correction touches no correlated edge would weigh the graph as the first did, so the
// decode stops there: on a model without `^` this decoder answers exactly as its base. Weights go
// back to where they were before the decode returns; the correction, its weight and the mask are
// the last pass's (its weight as that pass weighed the edges).
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/graph_decoder.h"

namespace ostrel::decode {

class CorrelatedDecoder final : public GraphDecoder {
 public:
  // max_passes >= 1 (1 decodes as the base alone).
  CorrelatedDecoder(std::unique_ptr<GraphDecoder> base, uint32_t max_passes);

  uint64_t decode(std::span<const uint32_t> fired_detectors) override;
  std::span<const uint32_t> correction() override { return base_->correction(); }
  int64_t correction_weight() override { return base_->correction_weight(); }
  // Re-weighting lowers an edge from this weight, never raises it.
  void set_edge_weight(uint32_t edge, int32_t weight) override;
  void restore_edge_weights() override;
  const DecodingGraph& graph() const override { return base_->graph(); }
  const std::shared_ptr<const DecodingGraph>& shared_graph() const override { return base_->shared_graph(); }
  std::unique_ptr<GraphDecoder> clone() const override;

  // How many passes the last decode ran.
  uint32_t last_passes() const { return last_passes_; }

 private:
  static constexpr int32_t kUnset = INT32_MAX;

  // Lowers the edges correlated with `correction` in the base; returns whether any was lowered.
  bool lower_from(std::span<const uint32_t> correction);
  // Every edge the last lower_from lowered back to weight_.
  void raise_lowered();

  std::unique_ptr<GraphDecoder> base_;
  uint32_t max_passes_;
  uint32_t last_passes_ = 0;
  std::vector<int32_t> weight_;        // per edge: its weight outside re-weighting
  std::vector<uint32_t> set_edges_;    // edges set_edge_weight moved from the graph's weight
  std::vector<int32_t> lowered_;       // per edge: its weight in this pass, or kUnset
  std::vector<uint32_t> lowered_edges_;
  std::vector<uint32_t> previous_;     // the last pass's correction, sorted
  std::vector<uint32_t> current_;
};

}  // namespace ostrel::decode
