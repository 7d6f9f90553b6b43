#include "ostrel/decode/matching/shortest_paths.h"

#include <algorithm>
#include <limits>

namespace ostrel::decode::matching {
namespace {

constexpr Time kFar = std::numeric_limits<Time>::max();

}  // namespace

ShortestPaths::ShortestPaths(const Flooder& flooder, uint32_t node_count)
    : f_(flooder), distance_(node_count + 1, kFar), via_(node_count + 1, kNone), from_(node_count + 1, kNone) {}

Time ShortestPaths::append_path(uint32_t from, uint32_t to, std::vector<uint32_t>& edges) {
  const uint32_t boundary = f_.boundary();
  auto reach = [&](uint32_t x, Time d, uint32_t prev, uint32_t edge) {
    if (distance_[x] == kFar) touched_.push_back(x);
    distance_[x] = d;
    from_[x] = prev;
    via_[x] = edge;
    heap_.push_back({d, x});
    std::push_heap(heap_.begin(), heap_.end(), later);
  };
  reach(from, 0, kNone, kNone);
  bool found = false;
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Entry e = heap_.back();
    heap_.pop_back();
    if (e.distance != distance_[e.node]) continue;
    if (e.node == to) {
      found = true;
      break;
    }
    if (e.node == boundary) continue;  // nothing leaves the boundary
    const auto list = f_.neighbors(e.node);
    const auto ids = f_.neighbor_edges(e.node);
    for (size_t i = 0; i < list.size(); ++i) {
      const Time d = e.distance + list[i].length;
      if (d < distance_[list[i].node]) reach(list[i].node, d, e.node, ids[i]);
    }
  }
  const Time length = found ? distance_[to] : -1;
  if (found)
    for (uint32_t x = to; from_[x] != kNone; x = from_[x]) edges.push_back(via_[x]);
  for (const uint32_t x : touched_) distance_[x] = kFar;
  touched_.clear();
  heap_.clear();
  return length;
}

}  // namespace ostrel::decode::matching
