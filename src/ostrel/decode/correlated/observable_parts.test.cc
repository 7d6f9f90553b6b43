#include "ostrel/decode/correlated/observable_parts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

struct PartsCase {
  const char* model;
  std::vector<uint8_t> detector;  // expected, per detector
};

// Components are joined through detectors only: the boundary joins nothing, and an observable on
// any edge of a component (to the boundary, or taken as occurred) marks all of it.
TEST(ObservableParts, MarksTheComponentsThatFlipAnObservable) {
  const PartsCase cases[] = {
      {"error(0.1) D0 D1 L0\nerror(0.1) D1 D2\nerror(0.1) D3 D4\nerror(0.1) D4\nerror(0.1) D2\n", {1, 1, 1, 0, 0}},
      {"error(0.1) D0 D1\nerror(0.1) D1 L0\nerror(0.1) D2\n", {1, 1, 0}},
      {"error(0.9) D0 L0\nerror(0.1) D1 ^ D0\n", {1, 0}},
      {"error(0.1) D0 D1\nerror(0.1) D1\n", {0, 0}},
  };
  for (const PartsCase& c : cases) {
    SCOPED_TRACE(c.model);
    auto parsed = dem::parse_dem(c.model);
    ASSERT_TRUE(parsed.ok());
    auto graph = build_decoding_graph(parsed.value());
    ASSERT_TRUE(graph.ok());
    const DecodingGraph& g = *graph.value();
    const ObservableParts parts = observable_parts(g);
    EXPECT_EQ(parts.detector, c.detector);
    for (size_t e = 0; e < g.edges.size(); ++e) EXPECT_EQ(parts.edge[e], c.detector[g.edges[e].u]);
    EXPECT_FALSE(parts.all());
  }
}

}  // namespace
}  // namespace ostrel::decode
