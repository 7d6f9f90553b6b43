#include "ostrel/decode/matching/flooder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "ostrel/decode/matching/test_graphs.h"
#include "ostrel/decode/test_syndromes.h"

namespace ostrel::decode::matching {
namespace {

// One or two detection events grown on random re-weighted graphs: the first event the flooder
// reports comes at the time Bellman-Ford says (half the distance between the events, or the
// distance of one to the boundary, whichever is least), and the path its compressed edge stands
// for, read back from the claims, joins the right ends at that length with those observables.
TEST(Flooder, FirstContactComesAtTheShortestDistanceAlongAPathItCanReadBack) {
  std::mt19937_64 rng(5);
  int collisions = 0, boundaries = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 2 + static_cast<uint32_t>(rng() % 14);
    const auto graph = random_graph(rng, n, n + rng() % (2 * n + 1), trial % 5 != 0, false);
    const DecodingGraph& g = *graph;
    Flooder flooder(g);
    std::vector<int64_t> length = own_lengths(g);
    for (uint32_t e = 0; e < g.edges.size(); ++e)
      if (rng() % 3 == 0) {
        length[e] = 2 * (1 + static_cast<int64_t>(rng() % 2000));
        flooder.set_edge_length(e, static_cast<int32_t>(length[e]));
      }
    for (int shot = 0; shot < 10; ++shot) {
      const uint32_t a = static_cast<uint32_t>(rng() % n);
      const uint32_t b = shot % 3 == 0 ? kNone : static_cast<uint32_t>(rng() % n);
      if (a == b) continue;
      flooder.reset();
      flooder.add_detection_event(a);
      if (b != kNone) flooder.add_detection_event(b);
      const std::vector<int64_t> from_a = bellman_ford(g, length, a);
      int64_t expected = from_a[g.boundary()];
      if (b != kNone) {
        expected = std::min(expected, bellman_ford(g, length, b)[g.boundary()]);
        if (from_a[b] < kUnreachable) expected = std::min(expected, from_a[b] / 2);
      }
      const MatcherEvent event = flooder.next_event();
      SCOPED_TRACE(testing::Message() << "trial " << trial << " events " << a << " " << b);
      if (expected >= kUnreachable) {
        EXPECT_EQ(event.kind, MatcherEvent::kNone);
        continue;
      }
      ASSERT_NE(event.kind, MatcherEvent::kNone);
      EXPECT_EQ(flooder.now(), expected);
      const CompressedEdge& edge = event.edge;
      std::vector<uint32_t> path;
      const Time walked = flooder.append_grown_path(edge, path);
      std::vector<uint32_t> ends{edge.from};
      if (event.kind == MatcherEvent::kRegionHitBoundary) {
        ++boundaries;
        EXPECT_EQ(edge.to, g.boundary());
        EXPECT_EQ(walked, expected);
      } else {
        ++collisions;
        ASSERT_EQ(event.kind, MatcherEvent::kRegionHitRegion);
        EXPECT_EQ(std::min(edge.from, edge.to), std::min(a, b));
        EXPECT_EQ(std::max(edge.from, edge.to), std::max(a, b));
        EXPECT_EQ(walked, from_a[b]);
        ends.push_back(edge.to);
      }
      std::sort(ends.begin(), ends.end());
      EXPECT_EQ(syndrome_of(g, path), ends);
      uint64_t observables = 0;
      for (const uint32_t e : path) observables ^= g.edges[e].observables;
      EXPECT_EQ(observables, edge.observables);
    }
  }
  EXPECT_GT(collisions, 300);
  EXPECT_GT(boundaries, 300);
}

}  // namespace
}  // namespace ostrel::decode::matching
