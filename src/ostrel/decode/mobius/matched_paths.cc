#include "ostrel/decode/mobius/matched_paths.h"

#include <algorithm>
#include <functional>

namespace ostrel::decode::mobius {

bool MatchedPaths::shortest_path(const DecodingGraph& g, uint32_t from, uint32_t to,
                                 std::span<const int32_t> weights) {
  if (distance_.size() < g.detector_count + 1) {
    distance_.assign(g.detector_count + 1, INT64_MAX);
    via_.assign(g.detector_count + 1, 0);
  }
  const auto later = std::greater<std::pair<int64_t, uint32_t>>();
  heap_.clear();
  heap_.push_back({0, from});
  distance_[from] = 0;
  touched_.push_back(from);
  bool reached = false;
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const auto [d, node] = heap_.back();
    heap_.pop_back();
    if (d > distance_[node]) continue;
    if (node == to) {
      reached = true;
      break;
    }
    if (node == g.boundary()) continue;  // nothing grows from the boundary
    for (const Incidence& i : g.incident(node)) {
      const int64_t w = weights.empty() ? g.edges[i.edge].weight : weights[i.edge];
      if (d + w >= distance_[i.other]) continue;
      if (distance_[i.other] == INT64_MAX) touched_.push_back(i.other);
      distance_[i.other] = d + w;
      via_[i.other] = i.edge;
      heap_.push_back({d + w, i.other});
      std::push_heap(heap_.begin(), heap_.end(), later);
    }
  }
  if (reached) {
    for (uint32_t node = to; node != from;) {
      const DecodingEdge& e = g.edges[via_[node]];
      edges_.push_back(via_[node]);
      node = e.u == node ? e.v : e.u;
    }
  }
  for (uint32_t n : touched_) distance_[n] = INT64_MAX;
  touched_.clear();
  return reached;
}

std::span<const uint32_t> MatchedPaths::of(matching::MatchingDecoder& matcher, std::span<const int32_t> weights) {
  const DecodingGraph& g = matcher.graph();
  // Flipped edges join the matcher's paths; these graphs have none.
  if (!g.flipped_edges.empty()) return matcher.correction();
  edges_.clear();
  bool searched = false;
  for (const matching::MatchingDecoder::Pair& p : matcher.pairs()) {
    // The boundary has no edge list: look from the detector end.
    const uint32_t from = p.a < g.detector_count ? p.a : p.b;
    const uint32_t to = from == p.a ? p.b : p.a;
    if (from >= g.detector_count) return matcher.correction();
    uint32_t found = UINT32_MAX;
    for (const Incidence& i : g.incident(from))
      if (i.other == to) found = i.edge;
    if (found != UINT32_MAX) {
      edges_.push_back(found);
      continue;
    }
    if (!shortest_path(g, from, to, weights)) return matcher.correction();
    searched = true;
  }
  if (searched) {
    std::sort(edges_.begin(), edges_.end());
    size_t kept = 0;
    for (size_t i = 0; i < edges_.size();) {
      size_t j = i;
      while (j < edges_.size() && edges_[j] == edges_[i]) ++j;
      if ((j - i) % 2 == 1) edges_[kept++] = edges_[i];
      i = j;
    }
    edges_.resize(kept);
  }
  return edges_;
}

}  // namespace ostrel::decode::mobius
