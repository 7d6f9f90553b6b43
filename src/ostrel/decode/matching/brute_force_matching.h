#pragma once
// For tests and fuzzing only: the minimum weight of a matching of small sets of detection events,
// by all-pairs shortest distances and dynamic programming over subsets, in matching's weights.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/matching/edge_weights.h"

namespace ostrel::decode::matching {

inline constexpr int64_t kUnmatchable = INT64_MAX / 4;

// Events pair with each other or with the boundary; kUnmatchable when no pairing exists.
inline int64_t brute_force_matching_weight(const DecodingGraph& g, const std::vector<uint32_t>& events) {
  const uint32_t n = g.detector_count + 1;
  std::vector<int64_t> d(size_t{n} * n, kUnmatchable);
  for (uint32_t x = 0; x < n; ++x) d[size_t{x} * n + x] = 0;
  for (const DecodingEdge& e : g.edges) {
    int64_t& w = d[size_t{e.u} * n + e.v];
    w = std::min<int64_t>(w, fine_weight(e));
    d[size_t{e.v} * n + e.u] = w;
  }
  for (uint32_t k = 0; k < n; ++k)
    for (uint32_t i = 0; i < n; ++i)
      for (uint32_t j = 0; j < n; ++j)
        d[size_t{i} * n + j] = std::min(d[size_t{i} * n + j], d[size_t{i} * n + k] + d[size_t{k} * n + j]);
  const size_t m = events.size();
  std::vector<int64_t> best(size_t{1} << m, kUnmatchable);
  best[0] = 0;
  for (uint64_t mask = 1; mask < best.size(); ++mask) {
    const auto i = static_cast<size_t>(__builtin_ctzll(mask));
    const uint64_t rest = mask & ~(uint64_t{1} << i);
    int64_t b = best[rest] + d[size_t{events[i]} * n + g.boundary()];
    for (size_t j = i + 1; j < m; ++j)
      if (rest >> j & 1) b = std::min(b, best[rest & ~(uint64_t{1} << j)] + d[size_t{events[i]} * n + events[j]]);
    best[mask] = std::min(b, kUnmatchable);
  }
  return best.back();
}

}  // namespace ostrel::decode::matching
