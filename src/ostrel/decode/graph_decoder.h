#pragma once
// What every decoder on a DecodingGraph offers, so that streams, the sliding window, batches and
// the re-weighting of correlated decoding can take any of them: decode a shot's fired detectors
// to an observable mask, name the edges of that correction, and decode again with some edges
// weighed differently.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode {

class GraphDecoder {
 public:
  virtual ~GraphDecoder() = default;

  // Decodes one shot given as the indices of its fired detectors; returns the observable mask.
  // Fired indices that name no detector are ignored; a detector listed twice cancels.
  virtual uint64_t decode(std::span<const uint32_t> fired_detectors) = 0;
  // Edge indices of the last decode's correction, in no particular order; its syndrome is the
  // fired set (flipped edges included as the graph describes).
  virtual std::span<const uint32_t> correction() = 0;
  // The weight of the last decode's correction in the model's units, ln((1 - p) / p) summed over
  // its edges as this decoder weighs them (a flipped edge counts negative: its own weight is).
  virtual double correction_weight() = 0;

  // Weighs `edge` as `weight` (in [0, kMaxWeight], graph units) in the decodes that follow, until
  // restore_edge_weights(). Cost: the edge's degree; nothing is allocated once warm.
  virtual void set_edge_weight(uint32_t edge, int32_t weight) = 0;
  // Every edge back to the graph's own weight; cost follows the edges set since the last restore.
  virtual void restore_edge_weights() = 0;
  // Decodes the last decode's shot again (`fired_detectors` must be the same) under the weights set
  // since. A decoder may start from the last decode's work where the changes leave it sound.
  virtual uint64_t decode_again(std::span<const uint32_t> fired_detectors) { return decode(fired_detectors); }

  virtual const DecodingGraph& graph() const = 0;
  virtual const std::shared_ptr<const DecodingGraph>& shared_graph() const = 0;
  // A decoder of the same kind on the same graph, with scratch space of its own.
  virtual std::unique_ptr<GraphDecoder> clone() const = 0;

  // Decodes one shot given as one byte per detector (non-zero = fired).
  uint64_t decode_dense(std::span<const uint8_t> detection_events) {
    dense_fired_.clear();
    const size_t n = detection_events.size() < graph().detector_count ? detection_events.size() : graph().detector_count;
    for (size_t i = 0; i < n; ++i)
      if (detection_events[i]) dense_fired_.push_back(static_cast<uint32_t>(i));
    return decode(dense_fired_);
  }

 private:
  std::vector<uint32_t> dense_fired_;
};

}  // namespace ostrel::decode
