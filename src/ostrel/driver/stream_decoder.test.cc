#include "ostrel/driver/stream_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>
#include <string>
#include <string_view>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/dem/dem_parser.h"
#include "ostrel/dem/spacetime_graph.h"

namespace ostrel::driver {
namespace {
using namespace ostrel::decode;

using Cells = std::vector<uint8_t>;

TEST(InferWindowDepth, ConfiguredDepthWinsElseDetectorsPerAncilla) {
  struct Case {
    uint64_t configured, detectors, ancillas, depth;
  };
  for (const Case c : {Case{0, 24, 8, 3}, Case{0, 24, 0, 24}, Case{0, 24, 30, 1}, Case{0, 0, 8, 1},
                       Case{0, 25, 8, 3}, Case{5, 24, 8, 5}, Case{5, 0, 0, 5}}) {
    EXPECT_EQ(infer_window_depth(c.configured, c.detectors, c.ancillas), c.depth)
        << c.configured << " " << c.detectors << " " << c.ancillas;
  }
}

// Three rounds of two detectors in a chain per round (d0 - d1), joined in time; detector 0 of each
// round has a boundary edge carrying observable 0, and the time edges of detector 1 carry
// observable 1. The boundary is node 6.
std::shared_ptr<const dem::SpacetimeGraph> three_round_graph() {
  auto graph = std::make_shared<dem::SpacetimeGraph>();
  graph->nodes.resize(7);
  graph->boundary_node = 6;
  auto edge = [&](uint32_t u, uint32_t v, std::vector<uint8_t> obs) {
    graph->edges.push_back(dem::GraphEdge{std::move(obs), u, v, 1.0f});
  };
  for (uint32_t t = 0; t < 3; ++t) {
    edge(2 * t, 6, {0});
    edge(2 * t, 2 * t + 1, {});
    if (t < 2) edge(2 * t + 1, 2 * t + 3, {1});
  }
  return graph;
}

StreamDecoder make_stream_decoder(uint64_t window_depth) {
  auto decoder = StreamDecoder::create(three_round_graph(), 6, window_depth);
  EXPECT_TRUE(decoder.ok());
  return std::move(decoder).value();
}

TEST(StreamDecoder, CreatesTheWindowFromTheFirstFrameAndDecodesItWhole) {
  StreamDecoder stream = make_stream_decoder(0);
  EXPECT_EQ(stream.window(), nullptr);
  // Depth inferred: 6 detectors / 2 ancillas = 3.
  auto first = stream.decode_frame(2, Cells{1, 0});
  ASSERT_TRUE(first.ok());
  ASSERT_NE(stream.window(), nullptr);
  EXPECT_EQ(stream.window()->window_depth(), 3u);
  EXPECT_EQ(stream.window()->ancilla_count(), 2u);
  EXPECT_EQ(first.value(), 1u);  // one odd detector: its whole component counts

  // A later frame reporting another ancilla count still fills rows of two.
  auto second = stream.decode_frame(5, Cells{0, 1, 1, 1, 1});
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(stream.window()->len(), 2u);
  // Detectors 0 and 3 fired: 0 joins the boundary (bit 0), then 0-1 and 1-3 (bit 1) reach 3.
  EXPECT_EQ(second.value(), 3u);
  EXPECT_EQ(stream.window()->active_detectors(), (std::vector<uint64_t>{0, 3}));

  auto third = stream.decode_frame(2, Cells{0, 0});
  auto fourth = stream.decode_frame(2, Cells{0, 0});
  ASSERT_TRUE(third.ok() && fourth.ok());
  // The first frame has slid out: only detector 1 (row 0) fired.
  EXPECT_EQ(stream.window()->len(), 3u);
  EXPECT_EQ(stream.window()->active_detectors(), (std::vector<uint64_t>{1}));
}

TEST(StreamDecoder, EveryFrameIsDecodedWhileTheWindowFills) {
  StreamDecoder stream = make_stream_decoder(0);
  std::vector<uint64_t> masks;
  for (int k = 0; k < 3; ++k) masks.push_back(stream.decode_frame(2, Cells{0, 0}).value());
  EXPECT_EQ(masks, (std::vector<uint64_t>{0, 0, 0}));
  EXPECT_EQ(stream.window()->len(), 3u);
}

TEST(StreamDecoder, ExplicitDepthBeyondTheModelIgnoresCellsWithoutADetector) {
  StreamDecoder stream = make_stream_decoder(5);
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(stream.decode_frame(2, Cells{0, 0}).ok());
  // Row 3 covers cells 6 (the boundary's index) and 7 (no node): neither takes part.
  auto mask = stream.decode_frame(2, Cells{1, 1});
  ASSERT_TRUE(mask.ok());
  EXPECT_EQ(stream.window()->window_depth(), 5u);
  EXPECT_EQ(mask.value(), 0u);
}

TEST(StreamDecoder, AWindowThatCannotBeMadeFailsTheFrameAndIsRetried) {
  auto created = StreamDecoder::create(three_round_graph(), 6, UINT64_MAX);
  ASSERT_TRUE(created.ok());
  StreamDecoder stream = std::move(created).value();
  auto mask = stream.decode_frame(2, Cells{1, 0});
  ASSERT_FALSE(mask.ok());
  EXPECT_EQ(mask.error().kind, WindowErrorKind::TooLarge);
  EXPECT_EQ(stream.window(), nullptr);
  // The next frame tries again; one without cells needs no storage and succeeds.
  EXPECT_FALSE(stream.decode_frame(2, Cells{1, 0}).ok());
  ASSERT_TRUE(stream.decode_frame(0, Cells{1, 0}).ok());
  EXPECT_EQ(stream.window()->window_depth(), UINT64_MAX);
}

// What the fixed procedure above takes by its rules, a decoder object's stream refuses without
// touching its window; frames that fit still decode.
TEST(StreamDecoder, RequiringAFitRefusesUncoveredCellsAndAnotherWidth) {
  struct Case {
    uint64_t depth, ancillas;
    bool fits;
  };
  for (const Case c : {Case{0, 2, true}, Case{0, 6, true}, Case{0, 7, false}, Case{3, 2, true}, Case{4, 2, false},
                       Case{5, 2, false}}) {
    StreamDecoder stream = make_stream_decoder(c.depth);
    stream.require_fit();
    auto mask = stream.decode_frame(c.ancillas, Cells(c.ancillas, 0));
    EXPECT_EQ(mask.ok(), c.fits) << c.depth << " x " << c.ancillas;
    if (c.fits) continue;
    EXPECT_EQ(mask.error().kind, WindowErrorKind::DoesNotFit);
    EXPECT_EQ(stream.window(), nullptr);
  }
  StreamDecoder stream = make_stream_decoder(0);
  stream.require_fit();
  ASSERT_TRUE(stream.decode_frame(2, Cells{1, 0}).ok());
  auto wider = stream.decode_frame(3, Cells{0, 0, 0});
  ASSERT_FALSE(wider.ok());
  EXPECT_EQ(wider.error().message(), "a frame of 3 ancillas follows frames of 2, for which the decoder's window was made");
  EXPECT_EQ(stream.window()->len(), 1u);
  EXPECT_TRUE(stream.decode_frame(2, Cells{0, 0}).ok());
}

TEST(StreamDecoder, RefusesAMissingGraph) {
  auto created = StreamDecoder::create(nullptr, 0, 0);
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error().message(), "the decoder needs a spacetime graph");
}

}  // namespace
}  // namespace ostrel::driver

namespace ostrel::driver {
namespace {
using namespace ostrel::decode;

// Two chain links with an observable, a boundary edge, an edge of probability 0 (no edge) and a
// self-loop (an edge, though it joins nothing).
constexpr std::string_view kSmallModel = "error(0.1) D0 D1 D2 L0\nerror(0.2) D1\nerror(0) D0 D2\nerror(0.3) D2 D2\n";

dem::DetectorErrorModel model_of(std::string_view text) {
  auto parsed = dem::parse_dem(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return std::move(parsed).value();
}

TEST(DecodingBudget, GraphCountsNodesEdgesAndObservableListsAndRefusesBeyondTheBudget) {
  const auto model = model_of(kSmallModel);
  const dem::GraphSize size = dem::spacetime_graph_size(model);
  EXPECT_EQ(size.edges, 4u);
  EXPECT_EQ(size.bytes, 4 * sizeof(dem::GraphNode) + 4 * sizeof(dem::GraphEdge) + 2 * 32);
  auto graph = dem::build_spacetime_graph(model, size.bytes);
  ASSERT_TRUE(graph.ok());
  EXPECT_EQ((*graph)->edges.size(), size.edges);
  auto refused = dem::build_spacetime_graph(model, size.bytes - 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, dem::GraphBuildError::Kind::OverBudget);
  EXPECT_EQ(refused.error().message(), "a decoding graph of 4 nodes and 4 edges needs 1 MiB, more than the budget of 1 MiB");
}

TEST(DecodingBudget, DecoderCountsParallelEdgesAsOnePairWhenThatDecides) {
  // 1000 parallel edges: one pair. A budget between the counts with one pair and with a thousand
  // is met only when the pairs are really counted.
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "error(0.1) D0 D1\n";
  const auto model = model_of(text);
  auto graph = dem::build_spacetime_graph(model);
  ASSERT_TRUE(graph.ok());
  const uint64_t one_pair = UnionFindDecoder::bytes_needed(3, 1000, 1);
  ASSERT_LT(one_pair, UnionFindDecoder::bytes_needed(3, 1000, 1000));
  EXPECT_TRUE(UnionFindDecoder::create(*graph, one_pair).ok());
  auto refused = UnionFindDecoder::create(*graph, one_pair - 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, DecoderErrorKind::OverBudget);
  EXPECT_EQ(refused.error().bytes, one_pair);

  // The same figure counted from the model alone, graph included.
  const uint64_t total = dem::spacetime_graph_size(model).bytes + one_pair;
  auto within = decoding_bytes(model, total);
  ASSERT_TRUE(within.ok());
  EXPECT_EQ(*within, total);
  auto over = decoding_bytes(model, total - 1);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(), "decoding this model needs at least 1 MiB, more than the budget of 1 MiB");
}

TEST(DecodingBudget, SelfLoopsAndBoundaryEdgesCountAsTheDecoderSeesThem) {
  const auto model = model_of(kSmallModel);
  auto graph = dem::build_spacetime_graph(model);
  ASSERT_TRUE(graph.ok());
  // Merging edges: 0-1, 1-2, 1-boundary; the self-loop takes no part.
  const uint64_t bytes = UnionFindDecoder::bytes_needed(4, 3, 3);
  EXPECT_TRUE(UnionFindDecoder::create(*graph, bytes).ok());
  EXPECT_FALSE(UnionFindDecoder::create(*graph, bytes - 1).ok());
  EXPECT_EQ(*decoding_bytes(model), dem::spacetime_graph_size(model).bytes + bytes);
}

}  // namespace
}  // namespace ostrel::driver

namespace ostrel::driver {
namespace {
using namespace ostrel::decode;

// The smallest budget build_decoding_graph admits the model with.
uint64_t smallest_weighted_budget(const dem::DetectorErrorModel& model) {
  uint64_t low = 0, high = uint64_t{1} << 30;
  while (low + 1 < high) {
    const uint64_t mid = low + (high - low) / 2;
    (build_decoding_graph(model, mid).ok() ? high : low) = mid;
  }
  return high;
}

TEST(DecodingBudget, WeightedGraphCountsParallelComponentsAsOneEdgeAndRefusesBeyondTheBudget) {
  // Same nodes and components; 1000 parallel components make one edge, a chain makes 1000.
  std::string parallel = "detector D1000\n", chain;
  for (int i = 0; i < 1000; ++i) {
    parallel += "error(0.1) D0 D1\n";
    chain += "error(0.1) D" + std::to_string(i) + " D" + std::to_string(i + 1) + "\n";
  }
  const auto one_edge = model_of(parallel);
  const uint64_t budget = smallest_weighted_budget(one_edge);
  EXPECT_LT(budget, smallest_weighted_budget(model_of(chain)));
  auto refused = build_decoding_graph(one_edge, budget - 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "decoding this model on a graph needs at least 1 MiB, more than the budget of 1 MiB");
  auto graph = build_decoding_graph(one_edge, budget);
  ASSERT_TRUE(graph.ok());
  EXPECT_EQ((*graph)->edges.size(), 1u);
}

}  // namespace
}  // namespace ostrel::driver
