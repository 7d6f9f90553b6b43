#pragma once
// The edges of a matching's paths. On the lifted graphs matched pairs are mostly the two ends of
// one edge: that edge is their path, found by a look along one node's edges. The other pairs get
// a shortest path of their own (Dijkstra from one end, stopping at the other) rather than the
// matcher's search over every pair. An edge on two paths cancels.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/matching/matching_decoder.h"

namespace ostrel::decode::mobius {

class MatchedPaths {
 public:
  // `weights`: each edge's weight as the matcher has it now, in graph units (empty: the graph's).
  std::span<const uint32_t> of(matching::MatchingDecoder& matcher, std::span<const int32_t> weights);

 private:
  bool shortest_path(const DecodingGraph& g, uint32_t from, uint32_t to, std::span<const int32_t> weights);

  std::vector<uint32_t> edges_;
  std::vector<int64_t> distance_;  // per node; INT64_MAX when untouched
  std::vector<uint32_t> via_;      // per node: the edge it was reached by
  std::vector<uint32_t> touched_;
  std::vector<std::pair<int64_t, uint32_t>> heap_;
};

}  // namespace ostrel::decode::mobius
