#include "ostrel/decode/window_graph.h"

#include <algorithm>

namespace ostrel::decode {

WindowGraph build_window_graph(const DetectorLayout& layout, std::span<const ComponentEdge> components,
                               uint64_t observable_count, WindowSpan span, std::vector<uint32_t>& to_window) {
  constexpr uint32_t kNone = DetectorLayout::kNone;
  WindowGraph out;
  out.span = span;
  for (uint32_t r = span.first; r < span.end; ++r)
    for (const uint32_t det : layout.row(r))
      if (det != kNone) {
        to_window[det] = static_cast<uint32_t>(out.detectors.size());
        out.detectors.push_back(det);
      }

  std::vector<ComponentEdge> edges;
  edges.reserve(out.detectors.size() * 4);
  for (const ComponentEdge& c : components) {
    const uint32_t lu = to_window[c.u];
    if (c.v == kNoDetector) {
      if (lu != kNone) edges.push_back({lu, kNoDetector, c.probability, c.observables, c.error});
      continue;
    }
    const uint32_t lv = to_window[c.v];
    if (lu != kNone && lv != kNone) {
      edges.push_back({lu, lv, c.probability, c.observables, c.error});
    } else if (lu != kNone || lv != kNone) {
      // One end outside the window: a boundary edge when that side is open.
      const uint32_t outside = lu != kNone ? c.v : c.u;
      if (layout.round_of(outside) >= span.end ? span.open_future : span.open_past)
        edges.push_back({lu != kNone ? lu : lv, kNoDetector, c.probability, c.observables, c.error});
    }
  }
  for (const uint32_t det : out.detectors) to_window[det] = kNone;

  out.graph = build_decoding_graph(static_cast<uint32_t>(out.detectors.size()), observable_count, edges);
  const DecodingGraph& g = *out.graph;
  out.committed.assign(g.edges.size(), 0);
  out.flips.assign(g.edges.size(), WindowGraph::kNoFlip);
  auto in_commit = [&](uint32_t local) {
    const uint32_t round = layout.round_of(out.detectors[local]);
    return round >= span.commit_first && round < span.commit_end;
  };
  for (size_t e = 0; e < g.edges.size(); ++e) {
    const DecodingEdge& edge = g.edges[e];
    const bool u_commit = in_commit(edge.u);
    const bool v_boundary = edge.v == g.boundary();
    const bool v_commit = !v_boundary && in_commit(edge.v);
    if (!u_commit && !v_commit) continue;
    out.committed[e] = 1;
    if (!v_boundary && u_commit != v_commit) out.flips[e] = out.detectors[u_commit ? edge.v : edge.u];
  }
  return out;
}

bool same_decoding(const WindowGraph& a, const WindowGraph& b) {
  const DecodingGraph& g = *a.graph;
  const DecodingGraph& h = *b.graph;
  if (g.detector_count != h.detector_count || g.edges.size() != h.edges.size() || a.committed != b.committed ||
      !alike(g.correlations, h.correlations))
    return false;
  for (size_t e = 0; e < g.edges.size(); ++e) {
    const DecodingEdge& x = g.edges[e];
    const DecodingEdge& y = h.edges[e];
    if (x.u != y.u || x.v != y.v || x.weight != y.weight || x.observables != y.observables || x.flipped != y.flipped)
      return false;
  }
  return true;
}

uint32_t longest_round_span(const DetectorLayout& layout, std::span<const ComponentEdge> components) {
  uint32_t longest = 0;
  for (const ComponentEdge& c : components) {
    if (c.v == kNoDetector) continue;
    const uint32_t a = layout.round_of(c.u), b = layout.round_of(c.v);
    if (a == DetectorLayout::kNone || b == DetectorLayout::kNone) continue;
    longest = std::max(longest, a > b ? a - b : b - a);
  }
  return longest;
}

}  // namespace ostrel::decode
