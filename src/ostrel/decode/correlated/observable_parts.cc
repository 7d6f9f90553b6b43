#include "ostrel/decode/correlated/observable_parts.h"

#include <numeric>

namespace ostrel::decode {

bool ObservableParts::all() const {
  for (const uint8_t x : edge)
    if (!x) return false;
  return true;
}

ObservableParts observable_parts(const DecodingGraph& graph) {
  const uint32_t n = graph.detector_count;
  std::vector<uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  auto find = [&](uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  for (const DecodingEdge& e : graph.edges)
    if (e.v < n) parent[find(e.u)] = find(e.v);
  std::vector<uint8_t> flips(n, 0);
  for (const DecodingEdge& e : graph.edges)
    if (e.observables) flips[find(e.u)] = 1;
  ObservableParts out;
  out.edge.reserve(graph.edges.size());
  for (const DecodingEdge& e : graph.edges) out.edge.push_back(flips[find(e.u)]);
  out.detector.reserve(n);
  for (uint32_t d = 0; d < n; ++d) out.detector.push_back(flips[find(d)]);
  return out;
}

}  // namespace ostrel::decode
