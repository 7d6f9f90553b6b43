#include "ostrel/decode/matching/compressed_edge.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/matching/test_graphs.h"
#include "ostrel/decode/test_syndromes.h"

namespace ostrel::decode::matching {
namespace {

// The observables a decode reports are those its compressed edges carried through growth,
// blossoms and their opening; the correction is the paths they stand for. On random graphs (edges
// taken as occurred included), the two agree: the mask is the XOR of the correction's edges'
// observables, and each matched pair joins events of the shot.
TEST(CompressedEdge, ObservablesAreThoseOfThePathsTheyStandFor) {
  std::mt19937_64 rng(23);
  int checked = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const uint32_t n = 4 + static_cast<uint32_t>(rng() % 20);
    const auto graph = random_graph(rng, n, n + rng() % (3 * n), true, trial % 3 == 0);
    const DecodingGraph& g = *graph;
    MatchingDecoder decoder(graph);
    GraphComponents components(g);
    for (int shot = 0; shot < 50; ++shot) {
      std::vector<uint32_t> fired;
      for (uint32_t d = 0; d < n; ++d)
        if (rng() % 3 == 0) fired.push_back(d);
      if (components.unmatchable(fired)) continue;
      const uint64_t mask = decoder.decode(fired);
      const auto correction = decoder.correction();
      ASSERT_EQ(syndrome_of(g, correction), fired);
      for (const CompressedEdge& e : decoder.matched()) {
        EXPECT_LT(e.from, n);
        EXPECT_LE(e.to, n);
      }
      // A searched path may be another of equal length crossing other observables.
      if (decoder.searched_paths()) continue;
      uint64_t crossed = 0;
      for (const uint32_t e : correction) crossed ^= g.edges[e].observables;
      ASSERT_EQ(crossed, mask) << "trial " << trial << " shot " << shot;
      ++checked;
    }
  }
  EXPECT_GT(checked, 5000);
}

}  // namespace
}  // namespace ostrel::decode::matching
