#pragma once
// Correlated decoding over any decoder of a decoding graph: decode, lower the weights of the edges
// that share an error with the correction's edges (the graph's correlations), decode again.
//
// max_passes = 2 is two-pass correlated matching (Fowler, arXiv:1310.0863). More passes iterate the
// re-weighting until the correction settles (after Tian et al., arXiv:2509.06756), in one of two ways:
// - afresh: each pass weighs the graph from the correction of the pass before it alone. A
//   correction may then alternate between two answers, and the pass cap decides which is returned;
// - accumulating: each pass lowers the weights further from where the last left them, i.e. from
//   every correction so far. Weights only fall, so the passes settle (at most one pass per edge
//   that can be lowered), and the measured error rates are the lowest of the variants.
// An edge takes the lowest weight any correction edge gives it (never above its own). A pass that
// would weigh the graph as the one before stops the decode, as does a correction equal to the last:
// on a model without `^` this decoder answers exactly as its base, in one pass. Every pass after the
// first decodes again (GraphDecoder::decode_again): matching keeps the regions the lowered edges
// leave sound and grows only the rest anew. The correction, its weight (as that pass weighed the
// edges) and the mask are the last pass's; the lowered weights stay until the next decode (or
// restore_edge_weights), so that the correction is read only when asked for, under them.
//
// A cheaper decoder may take the first pass (`first`, on the same graph): its correction only
// weighs the graph for the base, whose fresh decode is the second pass. Weights the caller sets
// go to both.
//
// Shots of fewer than `sparse` fired detectors take their first pass with the base all the same:
// there a cheap first decode saves little, while the base's second pass starts from its first
// pass's work rather than afresh, and its correction weighs the graph better.
//
// The last pass may leave alone the graph's components that flip no observable (`defer_last`):
// their edges are lowered and decoded again only once the correction or its weight is asked
// for, which the observable mask never needs. A last pass that decodes afresh (after a cheaper
// first decoder) decodes only the fired detectors of the other components. The mask is the same
// either way (where several corrections are minimum, either may be found).
//
// Passes past the second may be kept for crowded shots (`crowded`: at least that many fired
// detectors; 0 keeps them for every shot). A few scattered events rarely leave two passes short
// of the answer, while their later passes cost as much as the first; where events crowd, a cheap
// first pass errs more often and a further pass repairs what its correction weighed wrongly.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/correlated/observable_parts.h"
#include "ostrel/decode/graph_decoder.h"

namespace ostrel::decode {

class CorrelatedDecoder final : public GraphDecoder {
 public:
  // max_passes >= 1 (1 decodes as the base alone).
  CorrelatedDecoder(std::unique_ptr<GraphDecoder> base, uint32_t max_passes, bool accumulate,
                    std::unique_ptr<GraphDecoder> first = nullptr, uint32_t crowded = 0, uint32_t sparse = 0,
                    bool defer_last = false);

  uint64_t decode(std::span<const uint32_t> fired_detectors) override;
  std::span<const uint32_t> correction() override {
    finish();
    return last_->correction();
  }
  double correction_weight() override {
    finish();
    return last_->correction_weight();
  }
  // Re-weighting lowers an edge from this weight, never raises it.
  void set_edge_weight(uint32_t edge, int32_t weight) override;
  void restore_edge_weights() override;
  const DecodingGraph& graph() const override { return base_->graph(); }
  const std::shared_ptr<const DecodingGraph>& shared_graph() const override { return base_->shared_graph(); }
  std::unique_ptr<GraphDecoder> clone() const override;

  // How many passes the last decode ran.
  uint32_t last_passes() const { return last_passes_; }
  // Whether the last decode left components that flip no observable to be decoded again.
  bool deferred() const { return pending_; }

 private:
  static constexpr int32_t kUnset = INT32_MAX;

  // Weighs the base as `correction` says: the edges correlated with it lowered (further from the
  // last pass's weights if `keep`), every other edge at weight_. Sets only what differs from the
  // pass before; returns whether anything did.
  bool weigh_from(std::span<const uint32_t> correction, bool keep);
  // Every lowered edge back to where the caller left it.
  void restore_lowered();
  // Accumulating: lowers further what the correction's edges not seen before in this decode
  // correlate with; returns whether any weight fell. With `defer`, edges that bear on no
  // observable are kept in deferred_ instead.
  bool lower_from(std::span<const uint32_t> correction, bool defer);
  // Lowers one edge to `weight` unless it stands as low already; returns whether it fell.
  bool lower(uint32_t edge, int32_t weight, bool user_set);
  // The deferred part of the last pass: lowers those edges and decodes again.
  void finish();

  std::unique_ptr<GraphDecoder> base_;
  std::unique_ptr<GraphDecoder> first_;  // the first pass's decoder, if not the base
  GraphDecoder* last_;                   // the decoder of the last pass
  uint32_t max_passes_;
  bool accumulate_;
  uint32_t crowded_;
  uint32_t sparse_;
  uint32_t last_passes_ = 0;
  std::vector<int32_t> weight_;        // per edge: its weight outside re-weighting
  std::vector<uint32_t> set_edges_;    // edges set_edge_weight set since the last restore
  std::vector<uint8_t> user_set_;      // per edge: in set_edges_
  std::vector<int32_t> lowered_;       // per edge: its lowered weight in the base now, or kUnset
  std::vector<uint32_t> lowered_edges_;
  std::vector<int32_t> next_;          // the same for the pass being weighed
  std::vector<uint32_t> next_edges_;
  std::vector<uint8_t> seen_;          // per edge: in a correction of this decode (accumulating)
  std::vector<uint32_t> seen_edges_;
  std::shared_ptr<const ObservableParts> observable_;  // null: no deferring
  std::vector<EdgeCorrelation> deferred_;
  std::vector<uint32_t> fired_;        // the shot, while a deferred part waits
  std::vector<uint32_t> part_;         // its fired detectors that bear on an observable
  bool pending_ = false;
  bool partial_ = false;               // the base decoded part_ alone
  std::vector<uint32_t> previous_;     // the last pass's correction, sorted
  std::vector<uint32_t> current_;
};

}  // namespace ostrel::decode
