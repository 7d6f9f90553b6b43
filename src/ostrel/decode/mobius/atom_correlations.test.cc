#include "ostrel/decode/mobius/atom_correlations.h"

#include <gtest/gtest.h>

#include <cmath>

#include "ostrel/decode/mobius/detector_colours.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

AtomModel atoms_of(const char* text) {
  auto model = dem::parse_dem(text);
  EXPECT_TRUE(model.ok());
  const std::vector<uint8_t> marks = read_detector_colours(model.value()).value();
  return decompose_errors(model.value(), marks).value();
}

std::vector<double> weights_of(const AtomModel& atoms) {
  std::vector<double> w;
  for (const Atom& a : atoms.atoms) w.push_back(std::log((1 - a.probability) / a.probability));
  return w;
}

constexpr const char* kMarks =
    "detector(0,0,0,0) D0\ndetector(1,0,0,1) D1\ndetector(2,0,0,2) D2\n"
    "detector(0,0,0,3) D3\ndetector(1,0,0,4) D4\ndetector(2,0,0,5) D5\n";

// A Y error's two atoms are correlated both ways, at the weight each takes given the other.
TEST(AtomCorrelations, CorrelatesTheAtomsOfAYError) {
  const AtomModel atoms = atoms_of(
      (std::string("error(0.01) D0 D1 D2\nerror(0.02) D3 D4 D5\nerror(0.005) D0 D1 D2 D3 D4 D5\n") + kMarks).c_str());
  ASSERT_EQ(atoms.atoms.size(), 2u);
  ASSERT_EQ(atoms.composite_count(), 1u);
  const AtomCorrelations c = correlate_atoms(atoms, weights_of(atoms));
  for (uint32_t a : {0u, 1u}) {
    const auto list = c.of(a);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].atom, 1 - a);
    const double q = 0.005 / atoms.atoms[a].probability;  // above the other's own probability
    EXPECT_NEAR(list[0].weight, std::log((1 - q) / q), 1e-12);
  }
}

// A joint error too rare to lower anything gives no pair; errors of one atom give none.
TEST(AtomCorrelations, KeepsOnlyPairsThatLowerAWeight) {
  const AtomModel atoms = atoms_of(
      (std::string("error(0.1) D0 D1 D2\nerror(0.1) D3 D4 D5\nerror(0.000001) D0 D1 D2 D3 D4 D5\n") + kMarks)
          .c_str());
  EXPECT_TRUE(correlate_atoms(atoms, weights_of(atoms)).list.empty());
}

}  // namespace
}  // namespace ostrel::decode::mobius
