#include "ostrel/decode/matching/matching_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/matching/brute_force_matching.h"
#include "ostrel/decode/matching/test_graphs.h"
#include "ostrel/decode/test_syndromes.h"

namespace ostrel::decode::matching {
namespace {

// Built by hand with -DSTRESS, a longer sweep over larger graphs.
#ifndef STRESS
constexpr int kTrials = 300;
constexpr uint32_t kMaxExtra = 9;
#else
constexpr int kTrials = 5000;
constexpr uint32_t kMaxExtra = 15;
#endif

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
      flipped_weight += fine_weight(graph->edges[e]);
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
      const int64_t brute = brute_force_matching_weight(*graph, events);
      ASSERT_EQ(odd.has_value(), brute >= kUnmatchable) << "trial " << trial << " shot " << s;
      if (odd) continue;
      ASSERT_EQ(std::lround(decoder.correction_weight() * kFineScale), brute - flipped_weight)
          << "trial " << trial << " shot " << s;
      const auto correction = decoder.correction();
      ASSERT_EQ(syndrome_of(*graph, correction), fired) << "trial " << trial << " shot " << s;
      int64_t w = 0;
      for (const uint32_t e : correction) w += graph->edges[e].flipped ? -fine_weight(graph->edges[e]) : fine_weight(graph->edges[e]);
      ASSERT_EQ(w, std::lround(decoder.correction_weight() * kFineScale));
      ++checked;
    }
  }
  EXPECT_GT(checked, 10000);
}

}  // namespace
}  // namespace ostrel::decode::matching

namespace ostrel::decode::matching {
namespace {

// Decoding again after lowering or raising edges starts from the last growth; it must end where a
// fresh decode under the same weights does (the same minimum weight), with a correction for the
// shot whose paths it reads back from the records it kept or grew anew.
TEST(MatchingDecoder, DecodingAgainAfterLoweringEdgesFindsAFreshDecodesMinimum) {
  std::mt19937_64 rng(31);
  int warm = 0, raised_warm = 0, dissolved = 0, searched = 0, paths = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 4 + static_cast<uint32_t>(rng() % 20);
    const auto graph = random_graph(rng, n, n + rng() % (3 * n), trial % 5 != 0, trial % 3 == 0);
    const DecodingGraph& g = *graph;
    MatchingDecoder again(graph), fresh(graph);
    GraphComponents components(g);
    for (int shot = 0; shot < 20; ++shot) {
      std::vector<uint32_t> fired;
      for (uint32_t d = 0; d < n; ++d)
        if (rng() % 3 == 0) fired.push_back(d);
      if (components.unmatchable(fired)) continue;
      again.decode(fired);
      std::vector<int32_t> weight;
      for (const DecodingEdge& e : g.edges) weight.push_back(e.weight);
      for (int pass = 0; pass < 3; ++pass) {
        const bool raise = pass == 2 && shot % 4 == 0;
        for (uint32_t e = 0; e < g.edges.size(); ++e) {
          if (rng() % 4) continue;
          // Pass 1 mixes raised and lowered edges; pass 2 of some shots only raises.
          const bool up = raise || (pass == 1 && rng() % 2);
          const int32_t w = up ? weight[e] + 1 + static_cast<int32_t>(rng() % 60)
                               : static_cast<int32_t>(rng() % static_cast<uint32_t>(weight[e] + 1));
          weight[e] = std::min(w, kMaxWeight);
          again.set_edge_weight(e, weight[e]);
          fresh.set_edge_weight(e, weight[e]);
        }
        const uint64_t mask = again.decode_again(fired);
        fresh.decode(fired);
        SCOPED_TRACE(testing::Message() << "trial " << trial << " shot " << shot << " pass " << pass);
        ASSERT_EQ(again.correction_weight(), fresh.correction_weight());
        const auto correction = again.correction();
        ASSERT_EQ(syndrome_of(g, correction), fired);
        uint64_t crossed = 0;
        for (const uint32_t e : correction) crossed ^= g.edges[e].observables;
        if (!again.searched_paths()) {
          EXPECT_EQ(crossed, mask);
        }
        warm += 1;
        raised_warm += raise && again.dissolved_regions() > 0;
        dissolved += static_cast<int>(again.dissolved_regions());
        searched += static_cast<int>(again.searched_paths());
        paths += static_cast<int>(again.matched().size());
      }
      again.restore_edge_weights();
      fresh.restore_edge_weights();
    }
  }
  EXPECT_GT(warm, 10000);
  EXPECT_GT(raised_warm, 100);  // raised edges go on from the last growth too
  EXPECT_GT(dissolved, 1000);
  // Most paths are read back, kept or grown anew (small random graphs search more of them than
  // circuits do: paths joined through a shrunk region, nodes given back).
  EXPECT_LT(searched, paths / 10);
}

}  // namespace
}  // namespace ostrel::decode::matching
