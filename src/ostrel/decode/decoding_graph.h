#pragma once
// The graph the weighted decoder grows on: one node per detector plus one boundary node, and one
// edge per distinct pair of endpoints, built from the model's error components.
//
// Every `^`-separated component of an error is its own mechanism here: a component that flips
// one detector is an edge to the boundary, one that flips two is an edge between them. Components
// with the same endpoints are merged into one edge whose probability is that of an odd number of
// them occurring, p = p1(1 - p2) + p2(1 - p1). When they flip different observables, the merged
// edge keeps the observables of the most probable component (the first of equals in model order):
// it is the likeliest explanation of a flip along that edge.
//
// Weights are ln((1 - p) / p) scaled by kWeightScale and rounded to integers of at least 1, so that
// growth runs on exact integer arithmetic with a resolution far below the spread of real weights.
// Components with p = 0 (or not a number) are left out. An edge with p > 0.5 is more likely to have
// occurred than not: it is stored "flipped", with the weight of its complement ln(p / (1 - p)),
// and the decoder assumes it occurred (toggles its endpoints and observables) before decoding the
// rest; choosing the edge in the correction then means undoing it. p = 1 gives the largest weight.
//
// Components of one error (joined by `^`) happen together: the graph keeps, per edge, the edges
// that share an error with it and the weight each should take once the edge is known to have
// occurred (see correlated/edge_correlations.h). Models without `^` have none.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/correlated/edge_correlations.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/memory_budget.h"
#include "ostrel/util/result.h"

namespace ostrel::decode {

inline constexpr uint32_t kNoDetector = UINT32_MAX;
inline constexpr uint32_t kNoError = UINT32_MAX;
// Integer weight units per unit of ln((1 - p) / p).
inline constexpr double kWeightScale = 64.0;
// Weights stop here (ln((1 - p) / p) = 256, p about 1e-111): the decoder keeps a ring of time
// buckets as long as the longest edge.
inline constexpr int32_t kMaxWeight = int32_t{1} << 14;

// One error component with one or two detectors; v == kNoDetector for one.
struct ComponentEdge {
  uint32_t u;
  uint32_t v;
  double probability;
  uint64_t observables;  // observables of index 64 and above are not represented
  uint32_t error = kNoError;  // the model's error it belongs to; its other components share it
};

// v == graph.boundary() for an edge to the boundary; u < v always.
struct DecodingEdge {
  uint32_t u;
  uint32_t v;
  double probability;  // merged, before flipping
  int32_t weight;      // >= 1
  uint64_t observables;
  bool flipped;  // probability > 0.5: assumed to have occurred
};

// One entry of a node's incidence list.
struct Incidence {
  uint32_t edge;
  uint32_t other;  // the far endpoint; graph.boundary() for a boundary edge
};

struct DecodingGraph {
  uint32_t detector_count = 0;
  uint64_t observable_count = 0;
  std::vector<DecodingEdge> edges;
  // Edges at each detector node d: adjacency[adjacency_start[d] .. adjacency_start[d + 1]).
  // The boundary node has no list (nothing ever grows from it).
  std::vector<uint32_t> adjacency_start;
  std::vector<Incidence> adjacency;
  // Indices of the flipped edges, and the XOR of their observables.
  std::vector<uint32_t> flipped_edges;
  uint64_t flipped_observables = 0;
  // Per edge, the edges correlated with it; empty when no error has two components on edges.
  EdgeCorrelations correlations;
  // The share of the components' probability (summed) that belongs to errors of several
  // components: how much of the noise re-weighting sees.
  double joined_share = 0.0;

  uint32_t boundary() const { return detector_count; }
  std::span<const Incidence> incident(uint32_t node) const {
    return std::span(adjacency).subspan(adjacency_start[node], adjacency_start[node + 1] - adjacency_start[node]);
  }
};

// The integer weight of an edge of probability p in (0, 1], flipped or not.
int32_t discretised_weight(double p);

// Each component of each error, unmerged, in model order. Detectors named twice in a component
// cancel; a component left with no detector is dropped (nothing can detect it). Fails with the
// message for a component with three or more detectors, naming its error line.
Result<std::vector<ComponentEdge>, std::string> collect_component_edges(const dem::DetectorErrorModel& dem);

// Merges parallel components, drops p = 0 and NaN, weighs and flips as described above, and
// derives the correlations of components that name the same error.
// Endpoints at or above detector_count are left out. Edge order: by (u, v).
std::shared_ptr<const DecodingGraph> build_decoding_graph(uint32_t detector_count, uint64_t observable_count,
                                                          std::span<const ComponentEdge> components);

// Both steps; also refuses models with more than 4294967294 detectors, and models whose graph and
// one weighted decoder on it would take more than `budget` bytes together: counted from the model
// before anything is allocated, then from the component list before the graph is built.
Result<std::shared_ptr<const DecodingGraph>, std::string> build_decoding_graph(
    const dem::DetectorErrorModel& dem, uint64_t budget = decoding_memory_budget());

}  // namespace ostrel::decode
