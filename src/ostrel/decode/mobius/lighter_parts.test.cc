#include "ostrel/decode/mobius/lighter_parts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "ostrel/decode/mobius/mobius_decoder.h"
#include "ostrel/decode/mobius/test_colour_codes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

std::set<uint32_t> syndrome(const AtomModel& atoms, std::span<const uint32_t> chosen) {
  std::set<uint32_t> out;
  for (uint32_t a : chosen)
    for (uint32_t d : atoms.atoms[a].view())
      if (!out.erase(d)) out.insert(d);
  return out;
}

double weight(std::span<const double> w, std::span<const uint32_t> chosen) {
  double sum = 0;
  for (uint32_t a : chosen) sum += w[a];
  return sum;
}

// Two explanations of one shot: the atoms that occurred and the decoder's correction. The
// combination explains the shot with atoms of either, and weighs what the lightest choice of a
// side in each part of their difference weighs, found by trying every choice.
TEST(LighterParts, KeepsTheLighterSideOfEachPart) {
  auto model = dem::parse_dem(testdata::kPhenomenologicalD3);
  ASSERT_TRUE(model.ok());
  auto made = MobiusDecoder::create(model.value());
  ASSERT_TRUE(made.ok()) << made.error();
  MobiusDecoder& dec = made.value();
  const AtomModel& atoms = dec.atoms();
  const std::span<const double> w = dec.lifted().atom_weight;
  LighterParts lighter(atoms, w);
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<uint32_t> pick(0, static_cast<uint32_t>(atoms.atoms.size() - 1));
  uint32_t mixed = 0;
  for (int shot = 0; shot < 2000; ++shot) {
    std::set<uint32_t> occurred;
    for (int k = 0; k < 4; ++k) occurred.insert(pick(rng));
    const std::vector<uint32_t> first(occurred.begin(), occurred.end());
    const std::set<uint32_t> fired = syndrome(atoms, first);
    dec.decode(std::vector<uint32_t>(fired.begin(), fired.end()));
    ASSERT_TRUE(dec.explained());
    const std::vector<uint32_t> second(dec.correction().begin(), dec.correction().end());

    // The difference's parts, by brute force over shared detectors.
    std::vector<uint32_t> diff;
    std::set_symmetric_difference(first.begin(), first.end(), second.begin(), second.end(),
                                  std::back_inserter(diff));
    std::vector<int> part(diff.size(), -1);
    int parts = 0;
    for (size_t s = 0; s < diff.size(); ++s) {
      if (part[s] >= 0) continue;
      std::vector<size_t> stack{s};
      part[s] = parts;
      while (!stack.empty()) {
        const size_t x = stack.back();
        stack.pop_back();
        for (size_t y = 0; y < diff.size(); ++y) {
          if (part[y] >= 0) continue;
          bool meet = false;
          for (uint32_t d : atoms.atoms[diff[x]].view())
            for (uint32_t e : atoms.atoms[diff[y]].view()) meet = meet || d == e;
          if (meet) {
            part[y] = parts;
            stack.push_back(y);
          }
        }
      }
      ++parts;
    }
    ASSERT_LE(parts, 12);
    double best = weight(w, first);
    for (uint32_t choice = 1; choice < (1u << parts); ++choice) {
      std::set<uint32_t> c(first.begin(), first.end());
      for (size_t s = 0; s < diff.size(); ++s)
        if (choice >> part[s] & 1 && !c.erase(diff[s])) c.insert(diff[s]);
      const std::vector<uint32_t> v(c.begin(), c.end());
      ASSERT_EQ(syndrome(atoms, v), fired) << "a part of the difference flips detectors";
      best = std::min(best, weight(w, v));
    }

    std::vector<uint32_t> combined = first;
    lighter.keep_lighter(combined, second);
    ASSERT_EQ(syndrome(atoms, combined), fired) << "shot " << shot;
    EXPECT_NEAR(weight(w, combined), best, 1e-9) << "shot " << shot;
    std::set<uint32_t> either(first.begin(), first.end());
    either.insert(second.begin(), second.end());
    for (uint32_t a : combined) ASSERT_TRUE(either.contains(a));
    mixed += weight(w, combined) < std::min(weight(w, first), weight(w, second)) - 1e-9;
  }
  // Shots where each side wins a part, so the combination beats both.
  EXPECT_GT(mixed, 0u);
}

}  // namespace
}  // namespace ostrel::decode::mobius
