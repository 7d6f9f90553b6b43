#include "ostrel/decode/mobius/underpaid_pieces.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "ostrel/decode/mobius/mobius_decoder.h"
#include "ostrel/decode/mobius/test_colour_codes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

// Random pieces and explaining atoms on the d=3 circuit model, against parts found by a walk
// over shared detectors and weighed one by one.
TEST(UnderpaidPieces, KeepsThePiecesOfPartsTheAtomsOutweigh) {
  auto model = dem::parse_dem(testdata::kCircuitD3);
  ASSERT_TRUE(model.ok());
  auto made = MobiusDecoder::create(model.value());
  ASSERT_TRUE(made.ok()) << made.error();
  const AtomModel& atoms = made->atoms();
  const LiftedGraph& lifted = made->lifted();
  const DecodingGraph& graph = *lifted.graph;
  UnderpaidPieces underpaid(atoms, lifted);
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<uint32_t> edge(0, static_cast<uint32_t>(graph.edges.size() - 1));
  std::uniform_int_distribution<uint32_t> atom(0, static_cast<uint32_t>(atoms.atoms.size() - 1));
  uint32_t kept = 0, dropped = 0;
  for (int round = 0; round < 3000; ++round) {
    std::set<uint32_t> piece_set, atom_set;
    const int pieces_n = 1 + round % 4, atoms_n = round % 5;
    while (static_cast<int>(piece_set.size()) < pieces_n) piece_set.insert(edge(rng));
    while (static_cast<int>(atom_set.size()) < atoms_n) atom_set.insert(atom(rng));
    const std::vector<uint32_t> pieces(piece_set.begin(), piece_set.end());
    const std::vector<uint32_t> explaining(atom_set.begin(), atom_set.end());

    // Items: pieces first, then atoms, each with its detectors.
    std::vector<std::vector<uint32_t>> detectors;
    std::vector<double> weight;
    for (uint32_t e : pieces) {
      detectors.push_back({graph.edges[e].u / 2, graph.edges[e].v / 2});
      weight.push_back(-graph.edges[e].weight / kWeightScale);
    }
    for (uint32_t a : explaining) {
      const auto v = atoms.atoms[a].view();
      detectors.emplace_back(v.begin(), v.end());
      weight.push_back(lifted.atom_weight[a]);
    }
    std::vector<int> part(detectors.size(), -1);
    std::vector<double> balance;
    for (size_t s = 0; s < detectors.size(); ++s) {
      if (part[s] >= 0) continue;
      part[s] = static_cast<int>(balance.size());
      balance.push_back(0);
      for (std::vector<size_t> stack{s}; !stack.empty();) {
        const size_t x = stack.back();
        stack.pop_back();
        balance.back() += weight[x];
        for (size_t y = 0; y < detectors.size(); ++y) {
          if (part[y] >= 0) continue;
          if (std::ranges::find_first_of(detectors[x], detectors[y]) == detectors[x].end()) continue;
          part[y] = part[s];
          stack.push_back(y);
        }
      }
    }
    std::set<uint32_t> want;
    for (size_t i = 0; i < pieces.size(); ++i)
      if (balance[part[i]] > 1e-6) want.insert(pieces[i]);
    const auto got = underpaid.find(pieces, explaining);
    ASSERT_EQ(std::set<uint32_t>(got.begin(), got.end()), want) << "round " << round;
    kept += want.size();
    dropped += pieces.size() - want.size();
  }
  // Both outcomes occur.
  EXPECT_GT(kept, 100u);
  EXPECT_GT(dropped, 100u);
}

}  // namespace
}  // namespace ostrel::decode::mobius
