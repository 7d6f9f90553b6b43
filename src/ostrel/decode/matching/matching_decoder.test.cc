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
