#include "ostrel/decode/mobius/component_tjoin.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "ostrel/decode/matching/edge_weights.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/mobius/mobius_decoder.h"
#include "ostrel/decode/mobius/test_colour_codes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

// Random targets on the lift's graphs of the d=3 models: the edges are a T-join of the targets
// (each target meets an odd number of them, every other node an even number) weighing what they
// report, and as light as the matcher's T-join of the same targets whenever every target can be
// paired; where one must stay unmatched, only it is met an even number of times.
TEST(ComponentTJoin, IsAMinimumTJoinAsTheMatchersIs) {
  for (const char* text : {testdata::kPhenomenologicalD3, testdata::kCircuitD3}) {
    auto model = dem::parse_dem(text);
    ASSERT_TRUE(model.ok());
    auto made = MobiusDecoder::create(model.value());
    ASSERT_TRUE(made.ok()) << made.error();
    std::mt19937_64 rng(3);
    uint32_t compared = 0, stranded = 0;
    for (const auto& graph : made->lifted().lift_graph) {
      ComponentTJoin tjoin(graph);
      matching::MatchingDecoder matcher(graph);
      const uint32_t n = graph->detector_count;
      for (int round = 0; round < 2000; ++round) {
        std::set<uint32_t> chosen;
        const uint32_t count = 1 + round % 8;
        while (chosen.size() < count) chosen.insert(static_cast<uint32_t>(rng() % n));
        const std::vector<uint32_t> targets(chosen.begin(), chosen.end());
        ASSERT_TRUE(tjoin.solve(targets));
        std::vector<uint32_t> degree(n + 1, 0);
        int64_t sum = 0;
        for (uint32_t e : tjoin.edges()) {
          ++degree[graph->edges[e].u];
          ++degree[std::min(graph->edges[e].v, n)];
          sum += matching::fine_weight(graph->edges[e]);
        }
        EXPECT_EQ(sum, tjoin.fine_weight());
        uint32_t unmatched = 0;
        for (uint32_t x = 0; x < n; ++x) {
          const bool target = chosen.contains(x);
          if (!target) {
            ASSERT_EQ(degree[x] % 2, 0u) << "node " << x;
          }
          unmatched += target && degree[x] % 2 == 0;
        }
        matcher.decode(targets);
        if (unmatched == 0) {
          EXPECT_EQ(tjoin.fine_weight(), std::llround(matcher.correction_weight() * matching::kFineScale));
          ++compared;
        } else {
          ++stranded;
        }
      }
    }
    EXPECT_GT(compared, 1000u);
    EXPECT_GT(stranded, 100u);
  }
}

}  // namespace
}  // namespace ostrel::decode::mobius
