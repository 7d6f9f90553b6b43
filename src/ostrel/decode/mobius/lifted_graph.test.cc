#include "ostrel/decode/mobius/lifted_graph.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <map>
#include <span>

#include "ostrel/decode/matching/edge_weights.h"
#include "ostrel/decode/mobius/detector_colours.h"
#include "ostrel/decode/mobius/test_colour_codes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

struct Built {
  std::vector<uint8_t> marks;
  AtomModel atoms;
  LiftedGraph lifted;
};

Built build(const char* text) {
  auto model = dem::parse_dem(text);
  EXPECT_TRUE(model.ok());
  Built b;
  b.marks = read_detector_colours(model.value()).value();
  auto atoms = decompose_errors(model.value(), b.marks);
  EXPECT_TRUE(atoms.ok()) << atoms.error();
  b.atoms = std::move(atoms).value();
  b.lifted = build_lifted_graph(b.atoms, b.marks, model->observable_count);
  return b;
}

// Each atom meets both nodes of each of its detectors exactly once and nothing else (no edge
// reaches the boundary), and its edges share its weight.
TEST(LiftedGraph, AtomsMeetEachNodeOfTheirDetectorsOnce) {
  for (const char* text : {testdata::kPhenomenologicalD3, testdata::kCircuitD3}) {
    const Built b = build(text);
    const DecodingGraph& g = *b.lifted.graph;
    ASSERT_EQ(g.detector_count, 2 * b.marks.size());
    size_t whole = 0;
    for (uint32_t a = 0; a < b.atoms.atoms.size(); ++a) {
      const Atom& atom = b.atoms.atoms[a];
      const uint32_t count = b.lifted.atom_edge_count[a];
      // Three edges for three colours, two for two detectors (of one colour or two), one for one.
      ASSERT_EQ(count, atom.size == 3 ? 3u : atom.size == 2 ? 2u : 1u);
      std::map<uint32_t, int> ends;
      double weight = 0;
      bool all = true, lightest = true;
      for (uint32_t k = 0; k < count; ++k) {
        const uint32_t e = b.lifted.atom_edges[3 * a + k];
        if (e == kNoEdge) {
          all = false;
          continue;
        }
        const uint32_t begin = b.lifted.edge_atoms_start[e], end = b.lifted.edge_atoms_start[e + 1];
        const auto on = std::span(b.lifted.edge_atoms).subspan(begin, end - begin);
        EXPECT_NE(std::find(on.begin(), on.end(), a), on.end());
        EXPECT_EQ(b.lifted.edge_atom[e], on.front());
        lightest = lightest && on.front() == a;
        ++ends[g.edges[e].u];
        ++ends[g.edges[e].v];
        weight += static_cast<double>(matching::fine_weight(g.edges[e])) / matching::kFineScale;
      }
      if (!all) continue;
      ++whole;
      std::map<uint32_t, int> expected;
      for (uint32_t d : atom.view()) expected[2 * d] = expected[2 * d + 1] = 1;
      EXPECT_EQ(ends, expected) << "atom " << a;
      // A graph edge weighs as its lightest atom; an atom's edges share its weight.
      const double own = b.lifted.atom_weight[a] * std::pow(double(count), 1 - kEdgeShareExponent);
      EXPECT_LE(weight, own + count * 1e-3) << "atom " << a;
      if (lightest) {
        EXPECT_NEAR(weight, own, count * 1e-3) << "atom " << a;
      }
    }
    EXPECT_EQ(whole, b.atoms.atoms.size());
  }
}

}  // namespace
}  // namespace ostrel::decode::mobius
