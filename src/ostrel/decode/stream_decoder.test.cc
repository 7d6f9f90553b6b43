#include "ostrel/decode/stream_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace ostrel::decode {
namespace {

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

TEST(StreamDecoder, RefusesAMissingGraph) {
  auto created = StreamDecoder::create(nullptr, 0, 0);
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error().message(), "the decoder needs a spacetime graph");
}

}  // namespace
}  // namespace ostrel::decode
