#include "ostrel/dem/spacetime_graph.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <tuple>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::dem {
namespace {

using Edge = std::tuple<uint32_t, uint32_t, float, std::vector<uint8_t>>;

std::shared_ptr<const SpacetimeGraph> graph_of(std::string_view text) {
  auto dem = parse_dem(text);
  EXPECT_TRUE(dem.ok()) << text;
  auto graph = build_spacetime_graph(dem.value());
  EXPECT_TRUE(graph.ok()) << text;
  return graph.value();
}

std::vector<Edge> edges_of(const SpacetimeGraph& g) {
  std::vector<Edge> out;
  for (const GraphEdge& e : g.edges) out.emplace_back(e.u, e.v, e.weight, e.observables);
  return out;
}

float weight(double p) { return -static_cast<float>(std::log(p / (1 - p))); }

TEST(SpacetimeGraph, ModelWithoutDetectorsIsJustTheBoundary) {
  const auto g = graph_of("error(0.1) L0\nlogical_observable L3");
  ASSERT_EQ(g->nodes.size(), 1u);
  EXPECT_EQ(g->boundary_node, 0u);
  EXPECT_EQ(g->nodes[0].index, kBoundaryNodeIndex);
  EXPECT_FALSE(g->nodes[0].coords);
  EXPECT_TRUE(g->edges.empty());
}

TEST(SpacetimeGraph, EdgesFollowErrorsInOrder) {
  const auto g = graph_of(
      "error(0.1) D0 D1 L0\n"
      "error(0.2) D2\n"
      "error(0.5) D3 ^ D1 D4 L1 L1\n"
      "error(0.3) L2\n"  // no detectors: no edge
      "error(0.1) D0 D0\n"
      "error(0.1) D0 D1\n"
      "error(0.7) D4 D0\n");
  EXPECT_EQ(g->boundary_node, 5u);
  const std::vector<Edge> expected{
      {0, 1, 2.1972246f, {0}}, {2, 5, weight(0.2), {}},     {3, 1, 0.0f, {1, 1}},
      {1, 4, 0.0f, {1, 1}},    {0, 0, weight(0.1), {}},     {0, 1, weight(0.1), {}},
      {4, 0, weight(0.7), {}}};
  EXPECT_EQ(edges_of(*g), expected);
  EXPECT_EQ(std::get<2>(expected[0]), weight(0.1));
  EXPECT_LT(weight(0.7), 0.0f);
}

TEST(SpacetimeGraph, ProbabilitiesOutsideTheOpenIntervalGiveNoEdge) {
  const auto g = graph_of("error(0) D0\nerror(1) D0\nerror(-0.1) D0\nerror(1.5) D0\nerror(nan) D0 D1");
  ASSERT_EQ(g->edges.size(), 1u);  // NaN passes both comparisons
  EXPECT_TRUE(std::isnan(g->edges[0].weight));
}

TEST(SpacetimeGraph, NodesCarryTheirDeclaredCoordinates) {
  const auto g = graph_of("detector(1, 2, 3) D2\ndetector D0\ndetector(7, 7, 7) D2\nerror(0.1) D3");
  ASSERT_EQ(g->nodes.size(), 5u);
  for (uint64_t i = 0; i < 4; ++i) EXPECT_EQ(g->nodes[i].index, i);
  EXPECT_EQ(g->nodes[4].index, kBoundaryNodeIndex);
  EXPECT_FALSE(g->nodes[0].coords);
  EXPECT_FALSE(g->nodes[1].coords);
  EXPECT_EQ(g->nodes[2].coords, (std::array<double, 3>{1, 2, 3}));
  EXPECT_FALSE(g->nodes[3].coords);
}

TEST(SpacetimeGraph, BoundaryMustFitInAThirtyTwoBitEndpoint) {
  auto dem = parse_dem("error(0.1) D4294967295");
  ASSERT_TRUE(dem.ok());
  const auto g = build_spacetime_graph(dem.value());
  ASSERT_FALSE(g.ok());
  EXPECT_EQ(g.error().kind, GraphBuildError::Kind::TooManyDetectors);
  EXPECT_EQ(g.error().message(),
            "detector error model has 4294967296 detectors; a decoding graph holds at most 4294967295");
}

TEST(SpacetimeGraph, NodeListTooLargeForMemoryIsRefused) {
  // 2^32 nodes take 160 GiB: refused up front, before anything is allocated.
  if (sysconf(_SC_PHYS_PAGES) / 1024 * sysconf(_SC_PAGE_SIZE) / 1024 / 1024 >= 160)
    GTEST_SKIP() << "this machine has the memory for the node list";
  DetectorErrorModel dem;
  dem.detector_count = UINT32_MAX;
  const auto g = build_spacetime_graph(dem);
  ASSERT_FALSE(g.ok());
  EXPECT_EQ(g.error().kind, GraphBuildError::Kind::OutOfMemory);
  EXPECT_EQ(g.error().message(), "not enough memory for a decoding graph of 4294967296 nodes");
}

}  // namespace
}  // namespace ostrel::dem
