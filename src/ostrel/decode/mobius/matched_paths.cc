#include "ostrel/decode/mobius/matched_paths.h"

namespace ostrel::decode::mobius {

std::span<const uint32_t> matched_paths(matching::MatchingDecoder& matcher, std::vector<uint32_t>& scratch) {
  const DecodingGraph& g = matcher.graph();
  scratch.clear();
  for (const matching::MatchingDecoder::Pair& p : matcher.pairs()) {
    // The boundary has no edge list: look from the detector end.
    const uint32_t from = p.a < g.detector_count ? p.a : p.b;
    const uint32_t to = from == p.a ? p.b : p.a;
    if (from >= g.detector_count) return matcher.correction();
    uint32_t found = UINT32_MAX;
    for (const Incidence& i : g.incident(from))
      if (i.other == to) found = i.edge;
    if (found == UINT32_MAX) return matcher.correction();
    scratch.push_back(found);
  }
  // Flipped edges join as the matcher's paths would have them; this graph has none.
  if (!g.flipped_edges.empty()) return matcher.correction();
  return scratch;
}

}  // namespace ostrel::decode::mobius
