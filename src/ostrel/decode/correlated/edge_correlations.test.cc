#include "ostrel/decode/correlated/edge_correlations.h"

#include <gtest/gtest.h>

#include <string>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/window_graph.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

dem::DetectorErrorModel model(const std::string& text) {
  auto parsed = dem::parse_dem(text);
  EXPECT_TRUE(parsed.ok());
  return std::move(parsed).value();
}

// The weight edge `to` takes once `from` is in a correction, or -1 when it keeps its own.
int32_t correlated_weight(const DecodingGraph& g, uint32_t from, uint32_t to) {
  for (const EdgeCorrelation& c : g.correlations.of(from))
    if (c.edge == to) return c.weight;
  return -1;
}

TEST(EdgeCorrelations, ConditionalProbabilityOfTheSharedErrorsCappedAtOneHalf) {
  // Edges: 0 = D0-boundary, 1 = D1-boundary (errors 0 and 1 share them), 2 = D2-, 3 = D3-boundary.
  auto graph = build_decoding_graph(model("error(0.01) D0 ^ D1\nerror(0.02) D1 ^ D0\nerror(0.04) D0\n"
                                          "error(0.001) D1\nerror(0.05) D2 ^ D3\nerror(0.4) D3\nerror(0.1) D2\n"));
  ASSERT_TRUE(graph.ok());
  const DecodingGraph& g = *graph.value();
  ASSERT_EQ(g.edges.size(), 4u);
  const double shared = 1 - 0.99 * 0.98;
  EXPECT_NEAR(g.edges[0].probability, 0.0672, 1e-3);
  // Given edge 0, the shared errors explain it less than half the time; given edge 1, nearly always.
  EXPECT_EQ(correlated_weight(g, 0, 1), discretised_weight(shared / g.edges[0].probability));
  EXPECT_EQ(correlated_weight(g, 1, 0), discretised_weight(0.5));
  EXPECT_EQ(correlated_weight(g, 0, 2), -1);
  // Conditionals below the edge's own probability (0.05 / 0.14 < 0.41, 0.05 / 0.41 < 0.14) lower nothing.
  EXPECT_EQ(correlated_weight(g, 2, 3), -1);
  EXPECT_EQ(correlated_weight(g, 3, 2), -1);
}

TEST(EdgeCorrelations, NoneWithoutComponentBreaks) {
  auto graph = build_decoding_graph(model("error(0.1) D0 D1\nerror(0.1) D1\nerror(0.2) D0 D1 L0\n"));
  ASSERT_TRUE(graph.ok());
  EXPECT_TRUE(graph.value()->correlations.empty());
  EXPECT_TRUE(graph.value()->correlations.of(0).empty());
}

TEST(EdgeCorrelations, AWindowCorrelatesOnlyTheComponentsItHolds) {
  // One detector per round; error 0 spans rounds 0-1, error 1 rounds 1-2.
  const auto m = model("error(0.01) D0 ^ D1\nerror(0.02) D1 ^ D2\n"
                       "detector(0, 0) D0\ndetector(0, 1) D1\ndetector(0, 2) D2\n");
  auto layout = DetectorLayout::from_coordinates(m);
  ASSERT_TRUE(layout.ok());
  auto components = collect_component_edges(m);
  ASSERT_TRUE(components.ok());
  std::vector<uint32_t> scratch(3, DetectorLayout::kNone);
  const double p1 = 0.01 * 0.98 + 0.02 * 0.99;  // D1's edge: both errors
  {
    // Rounds 0-1: D2 is outside, so only error 0 correlates (window edges: 0 = D0, 1 = D1).
    const WindowGraph w = build_window_graph(layout.value(), components.value(), 0, {0, 2, 1}, scratch);
    ASSERT_EQ(w.graph->edges.size(), 2u);
    EXPECT_EQ(correlated_weight(*w.graph, 0, 1), discretised_weight(0.5));
    EXPECT_EQ(correlated_weight(*w.graph, 1, 0), discretised_weight(0.01 / p1));
  }
  {
    // Rounds 1-2: error 0's earlier part is committed and left out; error 1 correlates D1 and D2.
    const WindowGraph w = build_window_graph(layout.value(), components.value(), 0, {1, 3, 3}, scratch);
    ASSERT_EQ(w.graph->edges.size(), 2u);
    EXPECT_EQ(correlated_weight(*w.graph, 0, 1), discretised_weight(0.5));
    EXPECT_EQ(correlated_weight(*w.graph, 1, 0), discretised_weight(0.5));
    EXPECT_EQ(w.graph->correlations.list.size(), 2u);
  }
}

}  // namespace
}  // namespace ostrel::decode
