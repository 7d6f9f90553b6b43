#include "ostrel/decode/matching/matching_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "ostrel/decode/graph_components.h"

namespace ostrel::decode::matching {
namespace {

constexpr int64_t kUnreachable = INT64_MAX / 4;
#ifndef STRESS
constexpr int kTrials = 300;
constexpr uint32_t kMaxExtra = 9;
#else
constexpr int kTrials = 5000;
constexpr uint32_t kMaxExtra = 15;
#endif

std::vector<uint32_t> syndrome_of(const DecodingGraph& g, std::span<const uint32_t> edges) {
  std::vector<uint8_t> parity(g.detector_count + 1, 0);
  for (uint32_t e : edges) {
    parity[g.edges[e].u] ^= 1;
    parity[g.edges[e].v] ^= 1;
  }
  std::vector<uint32_t> fired;
  for (uint32_t d = 0; d < g.detector_count; ++d)
    if (parity[d]) fired.push_back(d);
  return fired;
}

// The lightest pairing of the events, each paired with another or the boundary, over all-pairs
// shortest distances: dynamic programming over subsets.
int64_t brute_force_weight(const DecodingGraph& g, const std::vector<uint32_t>& events) {
  const uint32_t n = g.detector_count + 1;
  std::vector<int64_t> d(size_t{n} * n, kUnreachable);
  for (uint32_t x = 0; x < n; ++x) d[x * n + x] = 0;
  for (const DecodingEdge& e : g.edges) {
    d[e.u * n + e.v] = std::min<int64_t>(d[e.u * n + e.v], e.weight);
    d[e.v * n + e.u] = d[e.u * n + e.v];
  }
  for (uint32_t k = 0; k < n; ++k)
    for (uint32_t i = 0; i < n; ++i)
      for (uint32_t j = 0; j < n; ++j) d[i * n + j] = std::min(d[i * n + j], d[i * n + k] + d[k * n + j]);
  const size_t m = events.size();
  std::vector<int64_t> best(size_t{1} << m, kUnreachable);
  best[0] = 0;
  for (uint64_t mask = 1; mask < best.size(); ++mask) {
    const auto i = static_cast<size_t>(__builtin_ctzll(mask));
    const uint32_t a = events[i];
    int64_t b = best[mask & ~(uint64_t{1} << i)] + d[a * n + g.boundary()];
    for (size_t j = i + 1; j < m; ++j)
      if (mask >> j & 1) b = std::min(b, best[mask & ~(uint64_t{1} << i) & ~(uint64_t{1} << j)] + d[a * n + events[j]]);
    best[mask] = std::min(b, kUnreachable);
  }
  return best.back();
}

std::shared_ptr<const DecodingGraph> random_graph(std::mt19937_64& rng, uint32_t n, size_t edge_count,
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

TEST(MatchingDecoder, EveryShotOfRandomGraphsIsMatchedAtMinimumWeight) {
  std::mt19937_64 rng(7);
  int checked = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    const uint32_t n = 2 + static_cast<uint32_t>(rng() % kMaxExtra);
    const bool with_boundary = trial % 5 != 0;
    const auto graph = random_graph(rng, n, n + rng() % (2 * n + 1), with_boundary, trial % 3 == 0);
    MatchingDecoder decoder(graph);
    GraphComponents components(*graph);
    int64_t flipped_weight = 0;
    std::vector<uint8_t> flipped_events(n + 1, 0);
    for (const uint32_t e : graph->flipped_edges) {
      flipped_weight += graph->edges[e].weight;
      flipped_events[graph->edges[e].u] ^= 1;
      flipped_events[graph->edges[e].v] ^= 1;
    }
    const uint64_t shots = n <= 8 ? (uint64_t{1} << n) : 256;
    for (uint64_t s = 0; s < shots; ++s) {
      const uint64_t bits = n <= 8 ? s : rng();
      std::vector<uint32_t> fired, events;
      for (uint32_t d = 0; d < n; ++d) {
        if (bits >> d & 1) fired.push_back(d);
        if ((bits >> d & 1) ^ flipped_events[d]) events.push_back(d);
      }
      const auto odd = components.unmatchable(fired);
      decoder.decode(fired);  // ends, whatever the syndrome
      const int64_t brute = brute_force_weight(*graph, events);
      ASSERT_EQ(odd.has_value(), brute >= kUnreachable) << "trial " << trial << " shot " << s;
      if (odd) continue;
      ASSERT_EQ(decoder.correction_weight(), brute - flipped_weight) << "trial " << trial << " shot " << s;
      const auto correction = decoder.correction();
      ASSERT_EQ(syndrome_of(*graph, correction), fired) << "trial " << trial << " shot " << s;
      int64_t w = 0;
      for (const uint32_t e : correction) w += graph->edges[e].flipped ? -graph->edges[e].weight : graph->edges[e].weight;
      ASSERT_EQ(w, decoder.correction_weight());
      ++checked;
    }
  }
  EXPECT_GT(checked, 10000);
}

}  // namespace
}  // namespace ostrel::decode::matching
