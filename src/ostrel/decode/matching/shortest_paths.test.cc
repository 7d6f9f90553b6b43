#include "ostrel/decode/matching/shortest_paths.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ostrel/decode/matching/test_graphs.h"

namespace ostrel::decode::matching {
namespace {

// Every pair of nodes of random graphs, some edges re-weighted: the length returned is
// Bellman-Ford's, the edges returned form a walk from one end to the other of that length, and an
// unreachable end returns -1 and appends nothing.
TEST(ShortestPaths, LengthsAreBellmanFordsAndTheEdgesWalkThem) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 150; ++trial) {
    const uint32_t n = 2 + static_cast<uint32_t>(rng() % 14);
    const auto graph = random_graph(rng, n, n + rng() % (2 * n), trial % 4 != 0, trial % 3 == 0);
    const DecodingGraph& g = *graph;
    Flooder flooder(g);
    std::vector<int64_t> length = own_lengths(g);
    for (uint32_t e = 0; e < g.edges.size(); ++e)
      if (rng() % 4 == 0) {
        length[e] = 2 * (1 + static_cast<int64_t>(rng() % 3000));
        flooder.set_edge_length(e, static_cast<int32_t>(length[e]));
      }
    ShortestPaths paths(flooder, n);
    for (uint32_t from = 0; from < n; ++from) {
      const std::vector<int64_t> oracle = bellman_ford(g, length, from);
      for (uint32_t to = 0; to <= n; ++to) {
        std::vector<uint32_t> edges{12345};  // appended to, never cleared
        const Time got = paths.append_path(from, to, edges);
        if (oracle[to] >= kUnreachable) {
          EXPECT_EQ(got, -1);
          EXPECT_EQ(edges.size(), 1u);
          continue;
        }
        ASSERT_EQ(got, oracle[to]) << "trial " << trial << " " << from << " -> " << to;
        // Walk back from `to`: each edge leaves the node reached so far.
        uint32_t at = to;
        int64_t walked = 0;
        for (size_t i = 1; i < edges.size(); ++i) {
          const DecodingEdge& e = g.edges[edges[i]];
          ASSERT_TRUE(e.u == at || e.v == at);
          at = e.u == at ? e.v : e.u;
          walked += length[edges[i]];
        }
        EXPECT_EQ(at, from);
        EXPECT_EQ(walked, got);
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::decode::matching
