#include "ostrel/decode/mobius/atom_index.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ostrel/decode/mobius/mobius_decoder.h"
#include "ostrel/decode/mobius/test_colour_codes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

// Every set of one to three detectors of the d=3 models, against a walk over all atoms.
TEST(AtomIndex, FindsExactlyTheAtomOfEachDetectorSet) {
  for (const char* text : {testdata::kPhenomenologicalD3, testdata::kCircuitD3}) {
    auto model = dem::parse_dem(text);
    ASSERT_TRUE(model.ok());
    auto made = MobiusDecoder::create(model.value());
    ASSERT_TRUE(made.ok()) << made.error();
    const std::vector<Atom>& atoms = made->atoms().atoms;
    const AtomIndex index(atoms);
    auto walk = [&](std::span<const uint32_t> set) {
      for (uint32_t a = 0; a < atoms.size(); ++a)
        if (std::ranges::equal(atoms[a].view(), set)) return a;
      return kNoAtom;
    };
    const auto n = static_cast<uint32_t>(model->detector_count);
    uint32_t found = 0;
    for (uint32_t x = 0; x < n; ++x)
      for (uint32_t y = x; y <= n; ++y)
        for (uint32_t z = y; z <= n; ++z) {
          // y == n or z == n: a set of fewer detectors (each listed once).
          if ((y == x && y < n) || (z == y && z < n) || (y == n && z < n)) continue;
          uint32_t set[3] = {x, y, z};
          const size_t size = y == n ? 1 : z == n ? 2 : 3;
          const std::span<const uint32_t> s(set, size);
          const uint32_t want = walk(s);
          ASSERT_EQ(index.find(s), want) << x << " " << y << " " << z;
          found += want != kNoAtom;
        }
    EXPECT_EQ(found, atoms.size());
  }
  EXPECT_EQ(AtomIndex().find(std::vector<uint32_t>{0}), kNoAtom);
}

}  // namespace
}  // namespace ostrel::decode::mobius
