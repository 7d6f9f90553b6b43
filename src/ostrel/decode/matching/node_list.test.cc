#include "ostrel/decode/matching/node_list.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

namespace ostrel::decode::matching {
namespace {

// Two lists and their copies as vectors under random pushes, pops, clears, swaps, copies and
// moves, across the change from in place to the heap in both directions.
TEST(NodeList, FollowsVectorsUnderRandomOperations) {
  std::mt19937 rng(11);
  NodeList a, b;
  std::vector<uint32_t> va, vb;
  auto same = [](const NodeList& l, const std::vector<uint32_t>& v) {
    return l.size() == v.size() && std::vector<uint32_t>(l.begin(), l.end()) == v;
  };
  for (int step = 0; step < 20000; ++step) {
    const bool first = rng() % 2;
    NodeList& l = first ? a : b;
    std::vector<uint32_t>& v = first ? va : vb;
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:
        l.push_back(static_cast<uint32_t>(step));
        v.push_back(static_cast<uint32_t>(step));
        break;
      case 3:
        if (!v.empty()) {
          ASSERT_EQ(l.back(), v.back());
          l.pop_back();
          v.pop_back();
        }
        break;
      case 4:
        if (rng() % 4 == 0) {
          l.clear();
          v.clear();
        }
        break;
      case 5:
        a.swap(b);
        va.swap(vb);
        break;
      case 6: {
        NodeList moved(std::move(l));
        ASSERT_TRUE(l.empty());
        l = NodeList(moved);  // a copy back
        ASSERT_TRUE(same(moved, v));
        break;
      }
      default:
        (first ? b : a) = l;
        (first ? vb : va) = v;
        break;
    }
    ASSERT_TRUE(same(a, va)) << "step " << step;
    ASSERT_TRUE(same(b, vb)) << "step " << step;
  }
}

}  // namespace
}  // namespace ostrel::decode::matching
