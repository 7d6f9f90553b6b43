#pragma once
// For tests only: the fired detectors an edge set of a decoding graph explains.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode {

// Endpoints touched an odd number of times, the boundary excluded, in ascending order.
inline std::vector<uint32_t> syndrome_of(const DecodingGraph& g, std::span<const uint32_t> edges) {
  std::vector<uint8_t> parity(g.detector_count + 1, 0);
  for (uint32_t e : edges) {
    parity[g.edges[e].u] ^= 1;
    parity[g.edges[e].v] ^= 1;
  }
  std::vector<uint32_t> fired;
  for (uint32_t d = 0; d < g.detector_count; ++d)
    if (parity[d]) fired.push_back(d);
  return fired;
}

}  // namespace ostrel::decode
