#include "ostrel/decode/decoding_graph.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <stdexcept>

#include "ostrel/util/memory_budget.h"

namespace ostrel::decode {
namespace {

// The error as an instruction line, e.g. "error(0.01) D0 D1 D2 L0": the model keeps no line
// numbers, and after repeat blocks and shifts the written line would not say which copy it was.
std::string error_line(const dem::DetectorErrorModel& dem, size_t index, std::span<const dem::ComponentBreak> breaks) {
  const auto& r = dem.error_records[index];
  std::string line = "error(";
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, r.probability);
  line.append(buffer, written.ptr);
  line += ')';
  uint32_t d = r.detectors_begin, o = r.observables_begin;
  auto until = [&](uint32_t d_end, uint32_t o_end) {
    for (; d < d_end; ++d) line += " D" + std::to_string(dem.detector_targets[d]);
    for (; o < o_end; ++o) line += " L" + std::to_string(dem.observable_targets[o]);
  };
  for (const dem::ComponentBreak& b : breaks) {
    until(b.detectors, b.observables);
    line += " ^";
  }
  until(r.detectors_end, r.observables_end);
  return line;
}

}  // namespace

int32_t discretised_weight(double p) {
  const double q = p > 0.5 ? 1.0 - p : p;  // the probability of the less likely outcome
  if (!(q > 0.0)) return kMaxWeight;
  const double scaled = std::round(std::log((1.0 - q) / q) * kWeightScale);
  return static_cast<int32_t>(std::clamp(scaled, 1.0, static_cast<double>(kMaxWeight)));
}

Result<std::vector<ComponentEdge>, std::string> collect_component_edges(const dem::DetectorErrorModel& dem) {
  std::vector<ComponentEdge> out;
  out.reserve(dem.error_count() + dem.component_breaks.size());
  size_t next_break = 0;
  for (size_t i = 0; i < dem.error_count(); ++i) {
    const auto& r = dem.error_records[i];
    const size_t breaks_begin = next_break;
    while (next_break < dem.component_breaks.size() && dem.component_breaks[next_break].error == i) ++next_break;
    const std::span<const dem::ComponentBreak> breaks(dem.component_breaks.data() + breaks_begin,
                                                      next_break - breaks_begin);
    uint32_t d = r.detectors_begin, o = r.observables_begin;
    for (size_t k = 0; k <= breaks.size(); ++k) {
      const uint32_t d_end = k < breaks.size() ? breaks[k].detectors : r.detectors_end;
      const uint32_t o_end = k < breaks.size() ? breaks[k].observables : r.observables_end;
      // Detectors named an even number of times cancel; at most two may remain.
      uint32_t kept[3];
      size_t count = 0;
      for (; d < d_end; ++d) {
        const uint32_t x = dem.detector_targets[d];
        uint32_t* end = kept + count;
        uint32_t* found = std::find(kept, end, x);
        if (found != end) {
          *found = kept[--count];
        } else if (count == 3) {
          count = 4;
          break;
        } else {
          kept[count++] = x;
        }
      }
      if (count >= 3) {
        // Re-count exactly for the rare many-target component: cancellations could still leave two.
        std::vector<uint32_t> all(dem.detector_targets.begin() + (k == 0 ? r.detectors_begin : breaks[k - 1].detectors),
                                  dem.detector_targets.begin() + d_end);
        std::sort(all.begin(), all.end());
        count = 0;
        for (size_t a = 0; a < all.size();) {
          size_t b = a;
          while (b < all.size() && all[b] == all[a]) ++b;
          if ((b - a) % 2 == 1) {
            if (count < 3) kept[count] = all[a];
            ++count;
          }
          a = b;
        }
        if (count >= 3)
          return fail("error " + error_line(dem, i, breaks) + " has a component with " + std::to_string(count) +
                      " detectors: decoding on a graph needs errors decomposed into components of one or two "
                      "detectors");
        d = d_end;
      }
      uint64_t observables = 0;
      for (; o < o_end; ++o)
        if (dem.observable_targets[o] < 64) observables ^= uint64_t{1} << dem.observable_targets[o];
      if (count == 0) continue;
      out.push_back({count == 2 ? std::min(kept[0], kept[1]) : kept[0],
                     count == 2 ? std::max(kept[0], kept[1]) : kNoDetector, r.probability, observables,
                     breaks.empty() ? kNoError : static_cast<uint32_t>(i)});
    }
  }
  return out;
}

std::shared_ptr<const DecodingGraph> build_decoding_graph(uint32_t detector_count, uint64_t observable_count,
                                                          std::span<const ComponentEdge> components) {
  auto graph = std::make_shared<DecodingGraph>();
  graph->detector_count = detector_count;
  graph->observable_count = observable_count;
  const uint32_t boundary = detector_count;

  // Components in model order, keyed by their endpoints, then merged run by run.
  struct Keyed {
    uint32_t u, v;
    uint32_t order;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(components.size());
  for (size_t i = 0; i < components.size(); ++i) {
    const ComponentEdge& c = components[i];
    if (!(c.probability > 0.0)) continue;  // p = 0 never happens; NaN says nothing
    uint32_t u = c.u, v = c.v == kNoDetector ? boundary : c.v;
    if (u > v) std::swap(u, v);
    if (u >= detector_count || v > detector_count || u == v) continue;
    keyed.push_back({u, v, static_cast<uint32_t>(i)});
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const Keyed& a, const Keyed& b) { return a.u != b.u ? a.u < b.u : a.v < b.v; });

  std::vector<uint32_t> degree(size_t{detector_count} + 1, 0);
  std::vector<ErrorMember> members;  // components of errors, on their merged edges
  double all = 0.0, joined = 0.0;     // probability summed over components, and over those joined
  for (size_t a = 0; a < keyed.size();) {
    size_t b = a;
    double p = 0.0, best_p = -1.0;
    uint64_t observables = 0;
    for (; b < keyed.size() && keyed[b].u == keyed[a].u && keyed[b].v == keyed[a].v; ++b) {
      const ComponentEdge& c = components[keyed[b].order];
      const double q = std::min(c.probability, 1.0);
      all += q;
      if (c.error != kNoError) joined += q;
      p = p * (1.0 - q) + q * (1.0 - p);
      if (q > best_p) {
        best_p = q;
        observables = c.observables;
      }
    }
    const uint32_t u = keyed[a].u, v = keyed[a].v;
    const size_t run = a;
    a = b;
    if (!(p > 0.0)) continue;
    const bool flipped = p > 0.5;
    const auto index = static_cast<uint32_t>(graph->edges.size());
    for (size_t k = run; k < b; ++k) {
      const ComponentEdge& c = components[keyed[k].order];
      if (c.error != kNoError) members.push_back({c.error, index, c.probability});
    }
    graph->edges.push_back({u, v, p, discretised_weight(p), observables, flipped});
    if (flipped) {
      graph->flipped_edges.push_back(index);
      graph->flipped_observables ^= observables;
    }
    ++degree[u];
    if (v != boundary) ++degree[v];
  }

  graph->adjacency_start.assign(size_t{detector_count} + 2, 0);
  for (uint32_t x = 0; x <= detector_count; ++x) graph->adjacency_start[x + 1] = graph->adjacency_start[x] + degree[x];
  graph->adjacency.resize(graph->adjacency_start.back());
  std::vector<uint32_t> fill(graph->adjacency_start.begin(), graph->adjacency_start.end() - 1);
  for (uint32_t e = 0; e < graph->edges.size(); ++e) {
    const DecodingEdge& edge = graph->edges[e];
    graph->adjacency[fill[edge.u]++] = {e, edge.v};
    if (edge.v != boundary) graph->adjacency[fill[edge.v]++] = {e, edge.u};
  }
  graph->correlations = derive_edge_correlations(std::move(members), graph->edges);
  graph->joined_share = all > 0.0 ? joined / all : 0.0;
  return graph;
}

namespace {

// What the graph and one decoder on it allocate, counted generously. Per node: the graph's degree,
// list start and fill cursor (12), the decoder's node records (16 + 32), list start (4) and five
// scratch lists that may grow to one entry per node (8 each, as they grow by doubling). Per
// component: its record and its sort key with the sort's buffer (12 + 12). Per edge: its record
// twice over (the list grows by doubling), a flipped-edge entry (8), two incidences in the graph
// (16) and in the decoder (32), the decoder's ends (16), mark (1), correction entry (8), the start
// of its correlations (4) and a re-weighting decoder's two weights (8). Correlations are counted
// from the errors' sizes.
constexpr uint64_t kBytesPerNode = 12 + 16 + 32 + 4 + 5 * 8;
constexpr uint64_t kBytesPerComponent = sizeof(ComponentEdge) + 12 + 12;
constexpr uint64_t kBytesPerEdge = 2 * sizeof(DecodingEdge) + 8 + 16 + 32 + 16 + 1 + 8 + 4 + 8;

// What deriving the correlations of `list` (in model order) may take.
uint64_t correlation_bytes(std::span<const ComponentEdge> list) {
  uint64_t pairs = 0, members = 0;
  for (size_t a = 0; a < list.size();) {
    size_t b = a + 1;
    if (list[a].error != kNoError)
      while (b < list.size() && list[b].error == list[a].error) ++b;
    const uint64_t k = b - a;
    if (k >= 2) members += k;
    if (k >= 2 && k <= kMaxCorrelatedComponents) pairs += k * (k - 1);
    a = b;
  }
  return edge_correlation_bytes(pairs, members);
}

std::string over_budget(uint64_t bytes, uint64_t budget) {
  return "decoding this model on a graph needs at least " + std::to_string(mebibytes(bytes)) +
         " MiB, more than the budget of " + std::to_string(mebibytes(budget)) + " MiB";
}

}  // namespace

Result<std::shared_ptr<const DecodingGraph>, std::string> build_decoding_graph(const dem::DetectorErrorModel& dem,
                                                                               uint64_t budget) {
  if (dem.detector_count >= UINT32_MAX)
    return fail("detector error model has " + std::to_string(dem.detector_count) +
                " detectors; a decoding graph holds at most 4294967294");
  // Counted before anything is allocated: the nodes, and the component list the first step makes.
  const uint64_t node_bytes = (dem.detector_count + 1) * kBytesPerNode;
  const uint64_t most_components = dem.error_count() + dem.component_breaks.size();
  if (node_bytes + most_components * sizeof(ComponentEdge) > budget)
    return fail(over_budget(node_bytes + most_components * sizeof(ComponentEdge), budget));
  try {
    auto components = collect_component_edges(dem);
    if (!components.ok()) return fail(std::move(components).error());
    const std::vector<ComponentEdge>& list = components.value();
    const uint64_t base = node_bytes + list.size() * kBytesPerComponent + correlation_bytes(list);
    if (base + list.size() * kBytesPerEdge > budget) {
      // Parallel components share an edge: count the distinct pairs of endpoints.
      if (base + (list.empty() ? 0 : kBytesPerEdge) > budget) return fail(over_budget(base + kBytesPerEdge, budget));
      std::vector<uint64_t> keys;
      keys.reserve(list.size());
      for (const ComponentEdge& c : list) keys.push_back(uint64_t{c.u} << 32 | c.v);
      std::sort(keys.begin(), keys.end());
      const auto edges = static_cast<uint64_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
      if (base + edges * kBytesPerEdge > budget) return fail(over_budget(base + edges * kBytesPerEdge, budget));
    }
    return build_decoding_graph(static_cast<uint32_t>(dem.detector_count), dem.observable_count, list);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fail("not enough memory for a decoding graph of " + std::to_string(dem.detector_count + 1) + " nodes");
}

}  // namespace ostrel::decode
