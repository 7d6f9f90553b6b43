#pragma once
// For tests only: random decoding graphs for the matcher's parts, and shortest lengths on them by
// Bellman-Ford (in the flooder's lengths, twice the fine weight), an oracle independent of Dijkstra.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/matching/edge_weights.h"

namespace ostrel::decode::matching {

// n detectors, edge_count components between random detectors (a quarter to the boundary when
// asked), random probabilities with some equal weights, observables in three bits; with_likely adds
// edges more likely than not (flipped).
inline std::shared_ptr<const DecodingGraph> random_graph(std::mt19937_64& rng, uint32_t n, size_t edge_count,
                                                         bool with_boundary, bool with_likely) {
  std::uniform_int_distribution<uint32_t> node(0, n - 1);
  std::uniform_real_distribution<double> prob(0.0005, 0.45);
  std::vector<ComponentEdge> components;
  while (components.size() < edge_count) {
    const uint32_t u = node(rng);
    const bool to_boundary = with_boundary && rng() % 4 == 0;
    const uint32_t v = to_boundary ? kNoDetector : node(rng);
    if (v == u) continue;
    double p = prob(rng);
    if (with_likely && rng() % 8 == 0) p = 1 - p;  // more likely than not: taken as occurred
    if (rng() % 6 == 0) p = std::exp(-3.0 * std::uniform_int_distribution<int>(1, 3)(rng));  // equal weights tie
    components.push_back({u, v, p, rng() & 7});
  }
  return build_decoding_graph(n, 3, components);
}

inline constexpr int64_t kUnreachable = std::numeric_limits<int64_t>::max() / 4;

// Shortest lengths from `from` to every node (the boundary last), edges weighing `length[e]`;
// nothing leaves the boundary.
inline std::vector<int64_t> bellman_ford(const DecodingGraph& g, const std::vector<int64_t>& length, uint32_t from) {
  std::vector<int64_t> d(g.detector_count + 1, kUnreachable);
  d[from] = 0;
  for (uint32_t round = 0; round <= g.detector_count; ++round)
    for (size_t e = 0; e < g.edges.size(); ++e) {
      const DecodingEdge& edge = g.edges[e];
      if (edge.u != g.boundary() && d[edge.u] + length[e] < d[edge.v]) d[edge.v] = d[edge.u] + length[e];
      if (edge.v != g.boundary() && d[edge.v] + length[e] < d[edge.u]) d[edge.u] = d[edge.v] + length[e];
    }
  return d;
}

// The flooder's own length of every edge.
inline std::vector<int64_t> own_lengths(const DecodingGraph& g) {
  std::vector<int64_t> out;
  for (const DecodingEdge& e : g.edges) out.push_back(2 * fine_weight(e));
  return out;
}

}  // namespace ostrel::decode::matching
