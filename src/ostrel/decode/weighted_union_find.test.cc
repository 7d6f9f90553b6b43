#include "ostrel/decode/weighted_union_find.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "ostrel/decode/test_syndromes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

uint64_t observables_of(const DecodingGraph& g, std::span<const uint32_t> edges) {
  uint64_t mask = 0;
  for (uint32_t e : edges) mask ^= g.edges[e].observables;
  return mask;
}

int64_t weight_of(const DecodingGraph& g, std::span<const uint32_t> edges) {
  int64_t w = 0;
  for (uint32_t e : edges) w += g.edges[e].weight;
  return w;
}

// A random connected-ish graph: `n` detectors, random edges among them, some to the boundary.
std::shared_ptr<const DecodingGraph> random_graph(std::mt19937_64& rng, uint32_t n, size_t edge_count,
                                                  bool with_boundary) {
  std::uniform_int_distribution<uint32_t> node(0, n - 1);
  std::uniform_real_distribution<double> prob(0.001, 0.3);
  std::vector<ComponentEdge> components;
  // A path keeps the graph connected; the rest are random.
  for (uint32_t d = 1; d < n; ++d) components.push_back({d - 1, d, prob(rng), rng() & 3});
  while (components.size() < edge_count) {
    const uint32_t u = node(rng);
    const bool to_boundary = with_boundary && rng() % 3 == 0;
    const uint32_t v = to_boundary ? kNoDetector : node(rng);
    if (v == u) continue;
    components.push_back({u, v, prob(rng), rng() & 3});
  }
  if (with_boundary) components.push_back({node(rng), kNoDetector, prob(rng), rng() & 3});
  return build_decoding_graph(n, 2, components);
}

// Every edge subset, smallest weight first; returns the lightest subsets with the given syndrome.
struct BruteForce {
  int64_t best_weight = INT64_MAX;
  std::vector<std::vector<uint32_t>> best;
};
BruteForce brute_force(const DecodingGraph& g, const std::vector<uint32_t>& fired) {
  BruteForce out;
  const size_t m = g.edges.size();
  for (uint64_t subset = 0; subset < (uint64_t{1} << m); ++subset) {
    std::vector<uint32_t> edges;
    for (uint32_t e = 0; e < m; ++e)
      if (subset >> e & 1) edges.push_back(e);
    if (syndrome_of(g, edges) != fired) continue;
    const int64_t w = weight_of(g, edges);
    if (w < out.best_weight) {
      out.best_weight = w;
      out.best.clear();
    }
    if (w == out.best_weight) out.best.push_back(edges);
  }
  return out;
}

TEST(WeightedUnionFind, TinyGraphsAgainstBruteForce) {
  std::mt19937_64 rng(7);
  int optimal_checked = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 2 + static_cast<uint32_t>(rng() % 5);
    const bool with_boundary = trial % 4 != 0;
    const auto graph = random_graph(rng, n, n + rng() % 5, with_boundary);
    if (graph->edges.size() > 12) continue;
    WeightedUnionFind decoder(graph);
    for (int shot = 0; shot < 8; ++shot) {
      std::vector<uint32_t> fired;
      for (uint32_t d = 0; d < n; ++d)
        if (rng() % 3 == 0) fired.push_back(d);
      const BruteForce best = brute_force(*graph, fired);
      if (best.best.empty()) continue;  // no correction exists (odd parity, no boundary)
      const uint64_t mask = decoder.decode(fired);
      const auto correction = decoder.correction();
      ASSERT_EQ(syndrome_of(*graph, correction), fired) << "trial " << trial;
      EXPECT_EQ(mask, observables_of(*graph, correction));
      // A lone defect grows alone: its cluster is the weighted ball around it, so the correction
      // is its shortest path to the boundary.
      if (fired.size() == 1 && best.best.size() == 1) {
        std::vector<uint32_t> got(correction.begin(), correction.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, best.best[0]) << "trial " << trial;
        ++optimal_checked;
      }
    }
  }
  EXPECT_GT(optimal_checked, 50);
}

// A distance-d square lattice with boundaries left and right, sampled edge by edge.
TEST(WeightedUnionFind, LatticeShotsAreExplainedExactlyAndReuseLeavesNoTrace) {
  const uint32_t d = 9;
  std::vector<ComponentEdge> components;
  auto id = [&](uint32_t r, uint32_t c) { return r * (d - 1) + c; };
  for (uint32_t r = 0; r < d; ++r) {
    components.push_back({id(r, 0), kNoDetector, 0.02, 1});
    components.push_back({id(r, d - 2), kNoDetector, 0.02, 0});
    for (uint32_t c = 0; c + 1 < d - 1; ++c) components.push_back({id(r, c), id(r, c + 1), 0.02, 0});
    if (r + 1 < d)
      for (uint32_t c = 0; c < d - 1; ++c) components.push_back({id(r, c), id(r + 1, c), 0.01, 0});
  }
  const auto graph = build_decoding_graph(d * (d - 1), 1, components);
  WeightedUnionFind decoder(graph), fresh_each_time(graph);
  std::mt19937_64 rng(11);
  int wrong = 0;
  for (int shot = 0; shot < 3000; ++shot) {
    std::vector<uint32_t> errors;
    for (uint32_t e = 0; e < graph->edges.size(); ++e)
      if (std::bernoulli_distribution(graph->edges[e].probability)(rng)) errors.push_back(e);
    const auto fired = syndrome_of(*graph, errors);
    const uint64_t mask = decoder.decode(fired);
    ASSERT_EQ(syndrome_of(*graph, decoder.correction()), fired);
    // The same shot decoded on a fresh instance gives the same answer: nothing stale survives.
    WeightedUnionFind fresh(graph);
    ASSERT_EQ(fresh.decode(fired), mask);
    wrong += mask != observables_of(*graph, errors);
  }
  // Well below threshold the decoder corrects nearly every shot (no correction: ~15% wrong).
  EXPECT_LT(wrong, 30);
}

TEST(WeightedUnionFind, FlippedEdgesAndIgnoredInputs) {
  // D0 -- D1 with p = 0.9: the edge most likely occurred, so the empty syndrome means it did
  // not, and a syndrome on both ends means it did.
  const std::vector<ComponentEdge> components = {
      {0, 1, 0.9, 1}, {0, kNoDetector, 0.01, 2}, {1, kNoDetector, 0.01, 4}};
  const auto graph = build_decoding_graph(2, 3, components);
  ASSERT_EQ(graph->flipped_edges.size(), 1u);
  WeightedUnionFind decoder(graph);
  const std::vector<uint32_t> none, both = {0, 1}, out_of_range = {2, 7, UINT32_MAX}, twice = {0, 0};
  EXPECT_EQ(decoder.decode(none), 0u);
  EXPECT_TRUE(decoder.correction().empty());
  EXPECT_EQ(decoder.decode(both), 1u);
  EXPECT_EQ(syndrome_of(*graph, decoder.correction()), both);
  EXPECT_EQ(decoder.decode(out_of_range), 0u);
  EXPECT_EQ(decoder.decode(twice), 0u);
}

TEST(DecodingGraph, ComponentsFromTheModel) {
  auto model = dem::parse_dem(
      "error(0.1) D0 D1 ^ D2 L0\n"
      "error(0.3) D0 D0 D1\n"
      "error(0.4) D1 D0\n"
      "repeat 2 {\n error(0.2) D3 ^ D3 D4 L1 ^ L0\n shift_detectors 2\n}\n");
  ASSERT_TRUE(model.ok());
  // The error views are unchanged by the separators.
  EXPECT_EQ(model->error(0).detectors.size(), 3u);
  auto components = collect_component_edges(*model);
  ASSERT_TRUE(components.ok()) << components.error();
  struct Expected {
    uint32_t u, v;
    double p;
    uint64_t observables;
  };
  const std::vector<Expected> expected = {{0, 1, 0.1, 0},           {2, kNoDetector, 0.1, 1},
                                          {1, kNoDetector, 0.3, 0}, {0, 1, 0.4, 0},
                                          {3, kNoDetector, 0.2, 0}, {3, 4, 0.2, 2},
                                          {5, kNoDetector, 0.2, 0}, {5, 6, 0.2, 2}};
  ASSERT_EQ(components->size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const ComponentEdge& c = (*components)[i];
    EXPECT_EQ(c.u, expected[i].u) << i;
    EXPECT_EQ(c.v, expected[i].v) << i;
    EXPECT_EQ(c.probability, expected[i].p) << i;
    EXPECT_EQ(c.observables, expected[i].observables) << i;
  }
  const auto graph = build_decoding_graph(*model);
  ASSERT_TRUE(graph.ok());
  // D0-D1 twice: 0.1 * 0.6 + 0.4 * 0.9, keeping the observables of the 0.4 component.
  const auto& e01 = (*graph)->edges[0];
  EXPECT_EQ(e01.u, 0u);
  EXPECT_EQ(e01.v, 1u);
  EXPECT_NEAR(e01.probability, 0.42, 1e-12);
  EXPECT_EQ(e01.observables, 0u);
  EXPECT_EQ(e01.weight, discretised_weight(0.42));
}

TEST(DecodingGraph, UndecomposedErrorsAreRefusedByTheirLine) {
  auto model = dem::parse_dem("error(0.1) D0 D1\nerror(0.25) D0 D1 D2 L3\n");
  ASSERT_TRUE(model.ok());
  auto graph = build_decoding_graph(*model);
  ASSERT_FALSE(graph.ok());
  EXPECT_NE(graph.error().find("error(0.25) D0 D1 D2 L3"), std::string::npos) << graph.error();
  EXPECT_NE(graph.error().find("decompose"), std::string::npos);
}

TEST(DecodingGraph, WeightsAreSymmetricAroundOneHalfAndBounded) {
  EXPECT_EQ(discretised_weight(0.1), discretised_weight(0.9));
  EXPECT_EQ(discretised_weight(0.5), 1);
  EXPECT_EQ(discretised_weight(1.0), kMaxWeight);
  EXPECT_GT(discretised_weight(0.001), discretised_weight(0.01));
}

}  // namespace
}  // namespace ostrel::decode
