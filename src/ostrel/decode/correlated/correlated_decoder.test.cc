#include "ostrel/decode/correlated/correlated_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/test_syndromes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

std::shared_ptr<const DecodingGraph> graph_of(const std::string& text) {
  auto parsed = dem::parse_dem(text);
  EXPECT_TRUE(parsed.ok());
  auto graph = build_decoding_graph(parsed.value());
  EXPECT_TRUE(graph.ok());
  return std::move(graph).value();
}

std::vector<uint32_t> sorted(std::span<const uint32_t> edges) {
  std::vector<uint32_t> out(edges.begin(), edges.end());
  std::sort(out.begin(), out.end());
  return out;
}

struct SharedErrorCase {
  const char* name;
  const char* model;
  std::vector<uint32_t> fired;
};

// D0 fired: plain decoding takes the likelier way to the boundary through D1 (no observable). The
// error that also explains the other fired detector (D2) flips D0 straight to the boundary across
// L0; once the correction holds its other component, that way is the likelier one.
class SharedError : public testing::TestWithParam<SharedErrorCase> {};

TEST_P(SharedError, PullsTheCorrectionToTheOtherSide) {
  const auto graph = graph_of(GetParam().model);
  const std::vector<uint32_t>& fired = GetParam().fired;
  for (const auto& [base, method] : {std::pair{DecodeMethod::kMatching, DecodeMethod::kCorrelatedUnionFind},
                                     std::pair{DecodeMethod::kMatching, DecodeMethod::kCorrelatedMatching}}) {
    SCOPED_TRACE(std::string(decode_method_name(method)));
    auto plain = make_graph_decoder(base, graph);
    auto correlated = make_graph_decoder(method, graph);
    EXPECT_EQ(plain->decode(fired), 0u);
    EXPECT_EQ(correlated->decode(fired), 1u);
    EXPECT_EQ(syndrome_of(*graph, correlated->correction()), fired);
    // The weights are back: a decode of D0 alone answers as the base does, with the same weight.
    const std::vector<uint32_t> alone{0};
    EXPECT_EQ(correlated->decode(alone), plain->decode(alone));
    EXPECT_EQ(correlated->correction_weight(), plain->correction_weight());
  }
}

INSTANTIATE_TEST_SUITE_P(
    CorrelatedDecoder, SharedError,
    testing::Values(
        // A Y error: its X part (D0 to the boundary, across L0) and its Z part (D2, in a graph of
        // its own) come together.
        SharedErrorCase{"YError", "error(0.02) D0 L0 ^ D2\nerror(0.1) D0 D1\nerror(0.4) D1\n", {0, 2}},
        // A hook error: two edges of one graph, D3-D4 and D0 to the boundary.
        SharedErrorCase{"HookError",
                        "error(0.02) D3 D4 ^ D0 L0\nerror(0.1) D0 D1\nerror(0.4) D1\nerror(0.001) D3\n"
                        "error(0.001) D4\n",
                        {0, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

// A random model: n detectors, each with a boundary component (so every syndrome has a
// correction), random edges, and errors of two or three components joined by `^`. Returns the
// text and, per error, the detectors it flips.
struct RandomModel {
  std::string text;
  std::vector<double> probability;
  std::vector<std::vector<uint32_t>> flips;
};

RandomModel random_model(std::mt19937_64& rng, uint32_t n, bool correlated) {
  std::uniform_int_distribution<uint32_t> node(0, n - 1);
  std::uniform_real_distribution<double> prob(0.005, 0.1);
  RandomModel m;
  auto component = [&](std::string& line, std::vector<uint32_t>& flips, bool boundary) {
    const uint32_t u = node(rng);
    uint32_t v = node(rng);
    line += " D" + std::to_string(u);
    flips.push_back(u);
    if (!boundary && v != u) {
      line += " D" + std::to_string(v);
      flips.push_back(v);
    }
    if (rng() % 4 == 0) line += " L" + std::to_string(rng() % 2);
  };
  for (uint32_t e = 0; e < 3 * n; ++e) {
    const double p = prob(rng);
    std::string line = "error(" + std::to_string(p) + ")";
    std::vector<uint32_t> flips;
    const uint32_t parts = correlated && e % 2 ? 2 + static_cast<uint32_t>(rng() % 2) : 1;
    for (uint32_t k = 0; k < parts; ++k) {
      if (k) line += " ^";
      component(line, flips, rng() % 3 == 0);
    }
    m.text += line + "\n";
    m.probability.push_back(p);
    m.flips.push_back(std::move(flips));
  }
  for (uint32_t d = 0; d < n; ++d) {
    m.text += "error(0.01) D" + std::to_string(d) + "\n";
    m.probability.push_back(0.01);
    m.flips.push_back({d});
  }
  return m;
}

std::vector<uint32_t> sample(const RandomModel& m, uint32_t n, std::mt19937_64& rng) {
  std::vector<uint8_t> parity(n, 0);
  std::uniform_real_distribution<double> u(0, 1);
  for (size_t e = 0; e < m.flips.size(); ++e)
    if (u(rng) < m.probability[e])
      for (const uint32_t d : m.flips[e]) parity[d] ^= 1;
  std::vector<uint32_t> fired;
  for (uint32_t d = 0; d < n; ++d)
    if (parity[d]) fired.push_back(d);
  return fired;
}

TEST(CorrelatedDecoder, CorrectsExactlyTheFiredSetAndCarriesNothingFromShotToShot) {
  std::mt19937_64 rng(18);
  for (int trial = 0; trial < 24; ++trial) {
    const uint32_t n = 10 + static_cast<uint32_t>(rng() % 30);
    const RandomModel m = random_model(rng, n, true);
    const auto graph = graph_of(m.text);
    ASSERT_FALSE(graph->correlations.empty());
    // Both bases, with and without a Union-Find first pass, both ways of iterating.
    const int kind = trial % 6 / 2;
    auto base = make_graph_decoder(kind == 0 ? DecodeMethod::kWeightedUnionFind : DecodeMethod::kMatching, graph);
    CorrelatedDecoder decoder(std::move(base), 4, trial % 2 == 0,
                              kind == 2 ? make_graph_decoder(DecodeMethod::kWeightedUnionFind, graph) : nullptr);
    const auto fresh = decoder.clone();
    std::vector<std::vector<uint32_t>> shots;
    for (int s = 0; s < 50; ++s) shots.push_back(sample(m, n, rng));
    std::vector<uint64_t> masks;
    std::vector<std::vector<uint32_t>> corrections;
    for (const auto& fired : shots) {
      masks.push_back(decoder.decode(fired));
      corrections.push_back(sorted(decoder.correction()));
      ASSERT_EQ(syndrome_of(*graph, decoder.correction()), fired) << m.text;
    }
    // In the reverse order, on a clone: the same answers.
    for (size_t s = shots.size(); s-- > 0;) {
      EXPECT_EQ(fresh->decode(shots[s]), masks[s]);
      EXPECT_EQ(sorted(fresh->correction()), corrections[s]);
    }
  }
}

// Two graphs as a memory experiment has them: detectors below n flip the observable along some
// edges, those from n on never do, and errors of a component in each (Y-like) join them.
RandomModel split_model(std::mt19937_64& rng, uint32_t n) {
  std::uniform_int_distribution<uint32_t> node(0, n - 1);
  std::uniform_real_distribution<double> prob(0.005, 0.1);
  RandomModel m;
  auto component = [&](std::string& line, std::vector<uint32_t>& flips, uint32_t half) {
    const uint32_t u = half * n + node(rng), v = half * n + node(rng);
    line += " D" + std::to_string(u);
    flips.push_back(u);
    if (rng() % 3 && v != u) {
      line += " D" + std::to_string(v);
      flips.push_back(v);
    }
    if (half == 0 && rng() % 4 == 0) line += " L0";
  };
  for (uint32_t e = 0; e < 6 * n; ++e) {
    const double p = prob(rng);
    std::string line = "error(" + std::to_string(p) + ")";
    std::vector<uint32_t> flips;
    component(line, flips, e % 3 == 1);
    if (e % 3 == 2) {
      line += " ^";
      component(line, flips, 1);
    }
    m.text += line + "\n";
    m.probability.push_back(p);
    m.flips.push_back(std::move(flips));
  }
  for (uint32_t d = 0; d < 2 * n; ++d) {
    m.text += "error(0.01) D" + std::to_string(d) + "\n";
    m.probability.push_back(0.01);
    m.flips.push_back({d});
  }
  return m;
}

// A last pass that leaves the graph flipping no observable alone answers as the full pass, and
// once the correction is asked for, that graph is decoded too: a minimum under the same weights.
TEST(CorrelatedDecoder, DeferringTheGraphWithoutObservablesKeepsTheMask) {
  std::mt19937_64 rng(41);
  uint32_t deferred = 0;
  for (int trial = 0; trial < 12; ++trial) {
    const uint32_t n = 8 + static_cast<uint32_t>(rng() % 24);
    const RandomModel m = split_model(rng, n);
    const auto graph = graph_of(m.text);
    // With and without a Union-Find first pass (a warm and a fresh last pass), two or three passes.
    const bool union_find = trial % 2;
    const uint32_t passes = 2 + trial % 3 / 2;
    auto make = [&](bool defer) {
      return CorrelatedDecoder(make_graph_decoder(DecodeMethod::kMatching, graph), passes, true,
                               union_find ? make_graph_decoder(DecodeMethod::kWeightedUnionFind, graph) : nullptr, 0,
                               0, defer);
    };
    CorrelatedDecoder lazy = make(true), full = make(false);
    for (int s = 0; s < 60; ++s) {
      const auto fired = sample(m, 2 * n, rng);
      const uint64_t mask = lazy.decode(fired);
      ASSERT_EQ(mask, full.decode(fired)) << m.text;
      deferred += lazy.deferred();
      // Read on every other shot only: an unread deferred part must not reach the next shot.
      if (s % 2) continue;
      EXPECT_EQ(syndrome_of(*graph, lazy.correction()), fired);
      EXPECT_EQ(lazy.correction_weight(), full.correction_weight());
      EXPECT_FALSE(lazy.deferred());
    }
  }
  EXPECT_GT(deferred, 100u);
}

// The fast variant by hand: Union-Find decodes, every edge correlated with its correction takes
// the lowest weight it is given, and matching decodes afresh under those weights.
TEST(CorrelatedDecoder, UnionFindFirstPassWeighsOneMatchingPass) {
  std::mt19937_64 rng(28);
  for (int trial = 0; trial < 10; ++trial) {
    const uint32_t n = 10 + static_cast<uint32_t>(rng() % 30);
    const RandomModel m = random_model(rng, n, true);
    const auto graph = graph_of(m.text);
    auto fast = make_graph_decoder(DecodeMethod::kCorrelatedUnionFind, graph, 0, 0);
    auto uf = make_graph_decoder(DecodeMethod::kWeightedUnionFind, graph);
    auto matching = make_graph_decoder(DecodeMethod::kMatching, graph);
    std::vector<int32_t> lowest(graph->edges.size());
    for (int s = 0; s < 40; ++s) {
      const auto fired = sample(m, n, rng);
      for (size_t e = 0; e < lowest.size(); ++e) lowest[e] = graph->edges[e].weight;
      uf->decode(fired);
      for (const uint32_t a : uf->correction())
        for (const EdgeCorrelation& c : graph->correlations.of(a)) lowest[c.edge] = std::min(lowest[c.edge], c.weight);
      for (size_t e = 0; e < lowest.size(); ++e)
        if (lowest[e] != graph->edges[e].weight) matching->set_edge_weight(static_cast<uint32_t>(e), lowest[e]);
      const uint64_t expected = matching->decode(fired);
      ASSERT_EQ(fast->decode(fired), expected) << m.text;
      EXPECT_EQ(sorted(fast->correction()), sorted(matching->correction()));
      EXPECT_EQ(fast->correction_weight(), matching->correction_weight());
      matching->restore_edge_weights();
    }
  }
}

// Passes past the second only for crowded shots: each shot decodes exactly as the decoder that
// runs two passes (sparse) or three (crowded) on every shot.
TEST(CorrelatedDecoder, CrowdedShotsAloneTakeTheThirdPass) {
  std::mt19937_64 rng(96);
  for (int trial = 0; trial < 8; ++trial) {
    const uint32_t n = 20 + static_cast<uint32_t>(rng() % 30);
    const RandomModel m = random_model(rng, n, true);
    const auto graph = graph_of(m.text);
    auto make = [&](uint32_t passes, uint32_t crowded) {
      return CorrelatedDecoder(make_graph_decoder(DecodeMethod::kMatching, graph), passes, true,
                               make_graph_decoder(DecodeMethod::kWeightedUnionFind, graph), crowded);
    };
    std::vector<std::vector<uint32_t>> shots;
    for (int s = 0; s < 60; ++s) shots.push_back(sample(m, n, rng));
    std::vector<size_t> sizes;
    for (const auto& fired : shots) sizes.push_back(fired.size());
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    const auto crowded = static_cast<uint32_t>(std::max<size_t>(sizes[sizes.size() / 2], 1));
    CorrelatedDecoder gated = make(3, crowded), two = make(2, 0), three = make(3, 0);
    uint32_t third = 0;
    for (const auto& fired : shots) {
      CorrelatedDecoder& same = fired.size() >= crowded ? three : two;
      const uint64_t mask = gated.decode(fired);
      ASSERT_EQ(mask, same.decode(fired)) << m.text;
      EXPECT_EQ(gated.last_passes(), same.last_passes());
      EXPECT_EQ(sorted(gated.correction()), sorted(same.correction()));
      EXPECT_EQ(gated.correction_weight(), same.correction_weight());
      third += gated.last_passes() == 3;
    }
    EXPECT_GT(third, 0u);  // the crowded path ran
  }
}

// Sparse shots take their first pass with the base: each shot decodes exactly as the decoder whose
// first pass is always Union-Find's (at least `sparse` fired detectors) or always matching's.
TEST(CorrelatedDecoder, SparseShotsTakeTheirFirstPassWithTheBase) {
  std::mt19937_64 rng(24);
  uint32_t by_union_find = 0, by_matching = 0;
  for (int trial = 0; trial < 8; ++trial) {
    const uint32_t n = 20 + static_cast<uint32_t>(rng() % 60);
    const RandomModel m = random_model(rng, n, true);
    const auto graph = graph_of(m.text);
    auto make = [&](bool union_find, uint32_t sparse) {
      return CorrelatedDecoder(make_graph_decoder(DecodeMethod::kMatching, graph), 2, true,
                               union_find ? make_graph_decoder(DecodeMethod::kWeightedUnionFind, graph) : nullptr,
                               0, sparse);
    };
    std::vector<std::vector<uint32_t>> shots;
    for (int s = 0; s < 60; ++s) shots.push_back(sample(m, n, rng));
    std::vector<size_t> sizes;
    for (const auto& fired : shots) sizes.push_back(fired.size());
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    const auto sparse = static_cast<uint32_t>(std::max<size_t>(sizes[sizes.size() / 2], 1));
    CorrelatedDecoder gated = make(true, sparse), first_union_find = make(true, 0), first_matching = make(false, 0);
    // The method with the size and two passes given: the same split.
    auto fast = make_graph_decoder(DecodeMethod::kCorrelatedUnionFind, graph, 2, sparse);
    for (const auto& fired : shots) {
      CorrelatedDecoder& same = fired.size() >= sparse ? first_union_find : first_matching;
      ASSERT_EQ(gated.decode(fired), same.decode(fired)) << m.text;
      EXPECT_EQ(sorted(gated.correction()), sorted(same.correction()));
      EXPECT_EQ(gated.correction_weight(), same.correction_weight());
      EXPECT_EQ(fast->decode(fired), same.decode(fired));
      EXPECT_EQ(fast->correction_weight(), same.correction_weight());
      (fired.size() >= sparse ? by_union_find : by_matching) += 1;
    }
  }
  EXPECT_GT(by_union_find, 0u);  // both sides of the split ran
  EXPECT_GT(by_matching, 0u);
}

// Union-Find goes first by default only where errors of several components hold much of the noise.
TEST(CorrelatedDecoder, UnionFindGoesFirstOnlyWhereJoinedErrorsAreMuchOfTheNoise) {
  struct Case {
    const char* model;
    double share;
    uint32_t from;
  };
  for (const Case& c : {
           // Two components of 0.02 against 0.04 alone.
           Case{"error(0.02) D0 ^ D1\nerror(0.04) D0 D1\n", 0.5, kSparseShot},
           // A joined error counts each component; a component without detectors is no edge.
           Case{"error(0.01) D0 ^ D1 ^ L0\nerror(0.06) D1\n", 0.25, kNever},
           Case{"error(0.1) D0 D1\nerror(0.1) D1\n", 0.0, kNever},  // no `^`: nothing to lower
       }) {
    SCOPED_TRACE(c.model);
    const auto graph = graph_of(c.model);
    EXPECT_DOUBLE_EQ(graph->joined_share, c.share);
    EXPECT_EQ(default_union_find_from(*graph), c.from);
  }
}

TEST(CorrelatedDecoder, WithoutComponentBreaksDecodesAsItsBase) {
  std::mt19937_64 rng(81);
  for (int trial = 0; trial < 10; ++trial) {
    const uint32_t n = 10 + static_cast<uint32_t>(rng() % 30);
    const RandomModel m = random_model(rng, n, false);
    const auto graph = graph_of(m.text);
    for (const auto& [base, method] :
         {std::pair{DecodeMethod::kMatching, DecodeMethod::kCorrelatedUnionFind},
          std::pair{DecodeMethod::kMatching, DecodeMethod::kCorrelatedMatching}}) {
      auto correlated = make_graph_decoder(method, graph);
      auto plain = make_graph_decoder(base, graph);
      for (int s = 0; s < 50; ++s) {
        const auto fired = sample(m, n, rng);
        EXPECT_EQ(correlated->decode(fired), plain->decode(fired));
        EXPECT_EQ(sorted(correlated->correction()), sorted(plain->correction()));
        EXPECT_EQ(correlated->correction_weight(), plain->correction_weight());
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::decode
