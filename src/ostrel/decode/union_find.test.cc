#include "ostrel/decode/union_find.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "ostrel/decode/syndrome_window.h"

namespace ostrel::decode {
namespace {

using dem::GraphEdge;
using dem::SpacetimeGraph;
using Cells = std::vector<uint8_t>;

struct TestEdge {
  uint32_t u;
  uint32_t v;
  std::vector<uint8_t> observables;
};

// A graph of `node_count` nodes whose last node is the boundary, unless `boundary` is given.
std::shared_ptr<const SpacetimeGraph> make_graph(uint64_t node_count, const std::vector<TestEdge>& edges,
                                                 std::optional<uint64_t> boundary = std::nullopt) {
  auto graph = std::make_shared<SpacetimeGraph>();
  graph->nodes.resize(node_count);
  for (uint64_t i = 0; i < node_count; ++i) graph->nodes[i].index = i;
  graph->boundary_node = boundary.value_or(node_count == 0 ? 0 : node_count - 1);
  for (const TestEdge& e : edges) graph->edges.push_back(GraphEdge{e.observables, e.u, e.v, 1.0f});
  return graph;
}

UnionFindDecoder make_decoder(std::shared_ptr<const SpacetimeGraph> graph) {
  auto decoder = UnionFindDecoder::create(std::move(graph));
  EXPECT_TRUE(decoder.ok());
  return std::move(decoder).value();
}

// The decoding procedure written out step by step, with no shortcut: reset, seed, growth passes
// over every edge until a pass sees no odd cluster or N passes have run, read-out over every edge.
// Inputs that name no node are left out as the decoder documents.
uint64_t literal_decode(const SpacetimeGraph& graph, const Cells& cells) {
  const uint64_t n = graph.nodes.size();
  const uint64_t boundary = graph.boundary_node;
  std::vector<uint32_t> fired;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (cells[i] == 1 && i < n && i != boundary) fired.push_back(static_cast<uint32_t>(i));
  }
  if (fired.empty()) return 0;

  std::vector<uint32_t> parent(n);
  std::vector<uint8_t> rank(n, 0);
  std::vector<uint32_t> defects(n, 0);
  for (uint64_t i = 0; i < n; ++i) parent[i] = static_cast<uint32_t>(i);
  auto find = [&](uint32_t x) {
    while (parent[x] != x) {
      parent[x] = parent[parent[x]];
      x = parent[x];
    }
    return x;
  };
  auto second_end = [&](const GraphEdge& e) { return std::min<uint64_t>(e.v, boundary); };
  auto takes_part = [&](const GraphEdge& e) { return e.u < n && second_end(e) < n; };

  for (uint32_t d : fired) defects[find(d)] += 1;

  uint64_t pass = 0;
  bool flag = false;
  do {
    ++pass;
    flag = false;
    for (const GraphEdge& e : graph.edges) {
      if (!takes_part(e)) continue;
      const uint32_t a = find(e.u);
      const uint32_t b = find(static_cast<uint32_t>(second_end(e)));
      const uint32_t da = defects[a];
      const uint32_t db = defects[b];
      if (da % 2 == 1 || db % 2 == 1) {
        flag = true;
        if (a != b) {
          uint32_t root = a;
          if (rank[a] > rank[b]) {
            parent[b] = a;
          } else if (rank[a] < rank[b]) {
            parent[a] = b;
            root = b;
          } else {
            parent[b] = a;
            rank[a] += 1;
          }
          defects[root] = da + db;
        }
      }
    }
  } while (flag && pass < n);

  uint64_t mask = 0;
  for (const GraphEdge& e : graph.edges) {
    if (!takes_part(e) || find(e.u) != find(static_cast<uint32_t>(second_end(e)))) continue;
    for (uint8_t k : e.observables) {
      if (k < 64) mask ^= uint64_t{1} << k;
    }
  }
  return mask;
}

struct Case {
  const char* name;
  uint64_t node_count;
  std::vector<TestEdge> edges;
  Cells cells;
  uint64_t mask;
};

TEST(UnionFindDecoder, DecodesSmallGraphsAsTheProcedureDoes) {
  const std::vector<Case> cases = {
      {"no edges", 4, {}, {1, 1, 1}, 0},
      {"nothing fired", 2, {{0, 1, {0}}}, {0}, 0},
      {"no cells", 2, {{0, 1, {0}}}, {}, 0},
      {"odd cluster joins the boundary", 2, {{0, 1, {0}}}, {1}, 1},
      {"a byte of 2 is not fired", 2, {{0, 1, {0}}}, {2}, 0},
      {"pair merged before the boundary edges", 3, {{0, 1, {2}}, {0, 2, {}}, {1, 2, {}}}, {1, 1}, 4},
      {"boundary edges first", 3, {{0, 2, {}}, {1, 2, {}}, {0, 1, {2}}}, {1, 1}, 4},
      {"parallel edges cancel", 3, {{0, 1, {1}}, {0, 1, {1}}, {0, 1, {3}}}, {1, 1}, 8},
      {"duplicate observables cancel", 2, {{0, 1, {5, 5, 1}}}, {1}, 2},
      {"second end above the boundary", 2, {{0, 7, {0}}}, {1}, 1},
      {"self-loop always counts", 3, {{1, 1, {5}}, {0, 2, {0}}}, {1}, 33},
      {"self-loop at the boundary through a clamped end", 3, {{2, 9, {4}}, {0, 1, {}}}, {1, 1}, 16},
      {"edges between untouched nodes stay out", 5, {{0, 1, {0}}, {2, 3, {1}}}, {1, 1}, 1},
      {"observables of 64 and above are ignored", 2, {{0, 1, {64, 200, 3}}}, {1}, 8},
      {"a fired boundary cell takes no part", 2, {{0, 1, {0}}}, {0, 1}, 0},
      {"fired cells beyond the graph take no part", 3, {{0, 1, {0}}, {1, 2, {1}}}, {1, 1, 1, 1, 1}, 1},
      {"edge from a missing node takes no part", 3, {{9, 0, {3}}, {0, 1, {0}}}, {1, 1}, 1},
  };
  for (const Case& c : cases) {
    auto graph = make_graph(c.node_count, c.edges);
    UnionFindDecoder decoder = make_decoder(graph);
    EXPECT_EQ(decoder.decode(c.cells), c.mask) << c.name;
    EXPECT_EQ(literal_decode(*graph, c.cells), c.mask) << c.name << " (literal)";
  }
}

TEST(UnionFindDecoder, BoundaryOutsideTheNodesOnlyDropsEdgesToIt) {
  // Three nodes, boundary index 9: ends clamped to 9 name no node.
  auto graph = make_graph(3, {{0, 9, {0}}, {0, 1, {1}}, {1, 2, {2}}}, 9);
  UnionFindDecoder decoder = make_decoder(graph);
  EXPECT_EQ(decoder.decode(Cells{1, 0, 1}), 6u);
  EXPECT_EQ(decoder.decode(Cells{1, 0, 0}), 6u);  // odd: the whole component {0, 1, 2}
}

TEST(UnionFindDecoder, EmptyGraphDecodesToZero) {
  UnionFindDecoder decoder = make_decoder(make_graph(0, {}));
  EXPECT_EQ(decoder.decode(Cells{1, 1}), 0u);
}

TEST(UnionFindDecoder, RefusesAMissingGraph) {
  auto decoder = UnionFindDecoder::create(nullptr);
  ASSERT_FALSE(decoder.ok());
  EXPECT_EQ(decoder.error().kind, DecoderErrorKind::MissingGraph);
}

TEST(UnionFindDecoder, DecodesTheWholeWindow) {
  // Two rounds of two detectors; rows map to nodes 0-1 and 2-3, the boundary is node 4.
  auto graph = make_graph(5, {{0, 2, {0}}, {1, 3, {1}}, {2, 3, {2}}, {0, 4, {3}}});
  UnionFindDecoder decoder = make_decoder(graph);
  SyndromeWindow window = std::move(SyndromeWindow::create(2, 2)).value();
  EXPECT_EQ(decoder.decode(window), 0u);
  ASSERT_TRUE(window.push(Cells{1, 0}).ok());
  ASSERT_TRUE(window.push(Cells{0, 1}).ok());
  EXPECT_EQ(decoder.decode(window), literal_decode(*graph, Cells{1, 0, 0, 1}));
}

// Random graphs of a few kinds, each decoded for many random syndromes by one decoder (so stale
// scratch state would show) and compared with the literal procedure.
struct RandomGraph {
  std::shared_ptr<const SpacetimeGraph> graph;
  uint64_t cell_count;
};

RandomGraph random_generic_graph(std::mt19937_64& rng) {
  const uint64_t n = 1 + rng() % 40;
  std::vector<TestEdge> edges(rng() % (3 * n + 1));
  for (TestEdge& e : edges) {
    e.u = static_cast<uint32_t>(rng() % n);
    e.v = static_cast<uint32_t>(rng() % 8 == 0 ? n - 1 + rng() % 5 : rng() % n);  // some past the boundary
    if (rng() % 10 == 0) e.v = e.u;
    for (uint64_t k = rng() % 4; k > 0; --k) e.observables.push_back(static_cast<uint8_t>(rng() % 20 == 0 ? 64 + rng() % 192 : rng() % 6));
  }
  // Now and then a malformed graph: a boundary inside or past the nodes, an end past the nodes.
  std::optional<uint64_t> boundary;
  if (rng() % 10 == 0) boundary = rng() % (n + 3);
  if (rng() % 10 == 0 && !edges.empty()) edges[rng() % edges.size()].u = static_cast<uint32_t>(n + rng() % 3);
  return {make_graph(n, edges, boundary), n + rng() % 4};
}

// A space-time lattice as a repetition or surface code memory experiment gives: detectors in
// rounds, space and time edges, boundary edges on the sides; the edge order is the lattice order
// with random local shuffles, as error models list errors roughly by time.
RandomGraph random_lattice_graph(std::mt19937_64& rng) {
  const uint32_t width = 2 + static_cast<uint32_t>(rng() % 6);
  const uint32_t height = rng() % 2 == 0 ? 1 : 2 + static_cast<uint32_t>(rng() % 4);
  const uint32_t rounds = 1 + static_cast<uint32_t>(rng() % 6);
  const uint32_t per_round = width * height;
  const uint32_t boundary = per_round * rounds;
  auto node = [&](uint32_t t, uint32_t y, uint32_t x) { return t * per_round + y * width + x; };
  std::vector<TestEdge> edges;
  for (uint32_t t = 0; t < rounds; ++t) {
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t here = node(t, y, x);
        if (x == 0) edges.push_back({here, boundary, {0}});
        if (x + 1 == width) edges.push_back({here, boundary, {}});
        if (x + 1 < width) edges.push_back({here, node(t, y, x + 1), {}});
        if (y + 1 < height) edges.push_back({here, node(t, y + 1, x), {}});
        if (t + 1 < rounds) edges.push_back({here, node(t + 1, y, x), {}});
        if (t + 1 < rounds && x + 1 < width && rng() % 2 == 0) edges.push_back({here, node(t + 1, y, x + 1), {}});
      }
    }
  }
  for (size_t start = 0; start < edges.size(); start += 8) {
    std::shuffle(edges.begin() + start, edges.begin() + std::min(edges.size(), start + 8), rng);
  }
  if (rng() % 4 == 0) std::reverse(edges.begin(), edges.end());
  for (TestEdge& e : edges) {
    if (rng() % 2 == 0) std::swap(e.u, e.v);
    if (e.u == boundary) std::swap(e.u, e.v);  // the boundary stays the second end, as built from a model
  }
  return {make_graph(boundary + 1, edges), boundary};
}

void compare_on_random_syndromes(std::mt19937_64& rng, const RandomGraph& random, int syndromes) {
  UnionFindDecoder decoder = make_decoder(random.graph);
  for (int s = 0; s < syndromes; ++s) {
    const uint64_t density = 1 + rng() % 12;  // fired one cell in `density`
    Cells cells(rng() % 8 == 0 ? rng() % (random.cell_count + 1) : random.cell_count, 0);
    for (uint8_t& cell : cells) {
      if (rng() % density == 0) cell = rng() % 10 == 0 ? 2 : 1;
    }
    ASSERT_EQ(decoder.decode(cells), literal_decode(*random.graph, cells))
        << "graph of " << random.graph->nodes.size() << " nodes, " << random.graph->edges.size() << " edges";
  }
}

TEST(UnionFindDecoder, MatchesTheLiteralProcedureOnRandomGraphs) {
  std::mt19937_64 rng(20240611);
  for (int g = 0; g < 1500; ++g) compare_on_random_syndromes(rng, random_generic_graph(rng), 20);
}

TEST(UnionFindDecoder, MatchesTheLiteralProcedureOnRandomLattices) {
  std::mt19937_64 rng(7);
  for (int g = 0; g < 300; ++g) compare_on_random_syndromes(rng, random_lattice_graph(rng), 30);
}

}  // namespace
}  // namespace ostrel::decode
