#include "ostrel/decode/matching/alternating_trees.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/matching/brute_force_matching.h"
#include "ostrel/decode/matching/test_graphs.h"

namespace ostrel::decode::matching {
namespace {

// What must hold between any two of the flooder's events: each region's place in its tree agrees
// with its pace and its match, and each blossom's cycle joins its children in order.
void expect_consistent(Flooder& f) {
  for (const uint32_t r : f.live_regions()) {
    const Region& g = f.region(r);
    SCOPED_TRACE(testing::Message() << "region " << r);
    ASSERT_GE(g.radius(f.now()), 0);
    for (const uint32_t c : g.tree_children) ASSERT_EQ(f.region(c).tree_parent, r);
    if (g.is_blossom()) {
      ASSERT_EQ(g.children.size() % 2, 1u);
      ASSERT_GE(g.children.size(), 3u);
      for (size_t i = 0; i < g.children.size(); ++i) {
        const BlossomChild& c = g.children[i];
        ASSERT_EQ(f.region(c.region).blossom_parent, r);
        ASSERT_EQ(f.child_holding(r, c.to_next.from), c.region);
        ASSERT_EQ(f.child_holding(r, c.to_next.to), g.children[(i + 1) % g.children.size()].region);
      }
    }
    if (g.blossom_parent != kNone) {
      ASSERT_EQ(g.slope, 0);
      ASSERT_EQ(g.role, TreeRole::kNone);
      continue;
    }
    switch (g.role) {
      case TreeRole::kInner: {
        ASSERT_EQ(g.slope, -1);
        ASSERT_NE(g.tree_parent, kNone);
        ASSERT_EQ(g.tree_children.size(), 1u);
        ASSERT_EQ(g.match, g.tree_children[0]);
        const Region& child = f.region(g.match);
        ASSERT_EQ(child.role, TreeRole::kOuter);
        ASSERT_EQ(child.match, r);
        break;
      }
      case TreeRole::kOuter:
        ASSERT_EQ(g.slope, 1);
        if (g.tree_parent == kNone) {
          ASSERT_FALSE(g.matched());  // a root
        } else {
          ASSERT_EQ(f.region(g.tree_parent).role, TreeRole::kInner);
          ASSERT_EQ(g.match, g.tree_parent);
        }
        break;
      case TreeRole::kNone:
        ASSERT_EQ(g.slope, 0);
        ASSERT_TRUE(g.matched());
        if (g.match != kNone) {
          ASSERT_EQ(f.region(g.match).match, r);
          ASSERT_EQ(f.region(g.match).role, TreeRole::kNone);
        }
        break;
    }
  }
}

struct Counts {
  int formed = 0;
  int shattered = 0;
};

// Runs the matcher over the events, checking consistency after every event; returns the matching's
// weight (the sum of the radii, halved) in fine units.
int64_t match_checked(Flooder& f, AlternatingTrees& trees, const std::vector<uint32_t>& events, Counts& counts) {
  f.reset();
  for (const uint32_t x : events) f.add_detection_event(x);
  auto blossoms = [&] {
    int k = 0;
    for (const uint32_t r : f.live_regions()) k += f.region(r).is_blossom();
    return k;
  };
  for (MatcherEvent e = f.next_event(); e.kind != MatcherEvent::kNone; e = f.next_event()) {
    const int before = blossoms();
    const bool shatters = e.kind == MatcherEvent::kRegionShrunk && f.region(e.region).is_blossom();
    trees.handle(e);
    const int after = blossoms();
    counts.shattered += shatters;
    counts.formed += after > before;
    expect_consistent(f);
    if (testing::Test::HasFatalFailure()) return -1;
  }
  Time radii = 0;
  for (const uint32_t r : f.live_regions()) {
    const Region& g = f.region(r);
    radii += g.radius(f.now());
    if (g.blossom_parent == kNone) {
      EXPECT_TRUE(g.matched());
    }
  }
  return radii / 2;
}

TEST(AlternatingTrees, AnOddCycleBecomesABlossomMatchedAtMinimumWeight) {
  // Three events pairwise close and far from the boundary: two match, the third reaches them and
  // the cycle of three closes into a blossom, which then reaches the boundary.
  std::vector<ComponentEdge> components{{0, 1, 0.1, 0}, {1, 2, 0.1, 0}, {0, 2, 0.1, 1},
                                        {0, kNoDetector, 0.001, 0}, {1, kNoDetector, 0.002, 0},
                                        {2, kNoDetector, 0.003, 0}};
  const auto graph = build_decoding_graph(3, 2, components);
  Flooder f(*graph);
  AlternatingTrees trees(f);
  Counts counts;
  const std::vector<uint32_t> events{0, 1, 2};
  EXPECT_EQ(match_checked(f, trees, events, counts), brute_force_matching_weight(*graph, events));
  EXPECT_EQ(counts.formed, 1);
}

// Random graphs with many events: blossoms form, become inner, shatter, and nest; every step keeps
// the trees consistent and every shot ends at the brute force's minimum weight.
TEST(AlternatingTrees, BlossomsFormAndShatterOnTheWayToTheMinimum) {
  std::mt19937_64 rng(29);
  Counts counts;
  int shots = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const uint32_t n = 6 + static_cast<uint32_t>(rng() % 10);
    const auto graph = random_graph(rng, n, n + rng() % (3 * n), trial % 4 != 0, false);
    Flooder f(*graph);
    AlternatingTrees trees(f);
    GraphComponents components(*graph);
    for (int s = 0; s < 20; ++s) {
      std::vector<uint32_t> events;
      for (uint32_t d = 0; d < n; ++d)
        if (rng() % 2) events.push_back(d);
      if (components.unmatchable(events)) continue;
      SCOPED_TRACE(testing::Message() << "trial " << trial << " shot " << s);
      const int64_t weight = match_checked(f, trees, events, counts);
      if (HasFatalFailure()) return;
      ASSERT_EQ(weight, brute_force_matching_weight(*graph, events));
      ++shots;
    }
  }
  EXPECT_GT(shots, 3000);
  EXPECT_GT(counts.formed, 1000);
  EXPECT_GT(counts.shattered, 100);
}

}  // namespace
}  // namespace ostrel::decode::matching
