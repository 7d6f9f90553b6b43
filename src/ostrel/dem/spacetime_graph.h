#pragma once
// The decoding graph derived from a detector error model: one node per detector plus a boundary
// node, and one edge per graph-like error (errors on three or more detectors become a chain).
// Immutable once built and shared read-only (std::shared_ptr<const SpacetimeGraph>).
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrel/dem/dem_model.h"
#include "ostrel/util/memory_budget.h"
#include "ostrel/util/result.h"

namespace ostrel::dem {

struct GraphNode {
  std::optional<std::array<double, 3>> coords;
  // The detector index; the boundary node carries all ones instead of its position.
  uint64_t index = 0;
};

struct GraphEdge {
  std::vector<uint8_t> observables;
  uint32_t u = 0;
  uint32_t v = 0;
  float weight = 0.0f;
};

struct SpacetimeGraph {
  std::vector<GraphNode> nodes;
  std::vector<GraphEdge> edges;
  uint64_t boundary_node = 0;
};

// The index of the boundary node marked in GraphNode::index.
inline constexpr uint64_t kBoundaryNodeIndex = UINT64_MAX;

// Why a model has no graph: edge endpoints are 32 bits wide, so the boundary node (index
// detector_count) must fit in them, the node list needs detector_count + 1 entries of memory,
// and the whole graph must fit in the memory budget.
struct GraphBuildError {
  enum class Kind : uint8_t { TooManyDetectors, OutOfMemory, OverBudget };
  Kind kind = Kind::TooManyDetectors;
  uint64_t detector_count = 0;
  // OverBudget only.
  uint64_t edge_count = 0;
  uint64_t bytes = 0;
  uint64_t budget = 0;

  // "detector error model has 4294967296 detectors; a decoding graph holds at most 4294967295",
  // "not enough memory for a decoding graph of 4294967296 nodes" or "a decoding graph of 5 nodes
  // and 50331645 edges needs 1921 MiB, more than the budget of 1024 MiB".
  std::string message() const;
};

// The refusals that need no counting of errors: too many detectors for 32-bit endpoints, or a
// node list that does not fit in memory. build_spacetime_graph checks these first.
std::optional<GraphBuildError> check_node_count(const DetectorErrorModel& dem);

// What the graph of `dem` will take once built: its edge count and its bytes (node list, edge
// list, and each edge's own list of observables as the allocator rounds it).
struct GraphSize {
  uint64_t edges = 0;
  uint64_t bytes = 0;
};
GraphSize spacetime_graph_size(const DetectorErrorModel& dem);

// Errors with 0 < p < 1 become edges weighted -ln(p / (1 - p)): one edge to the boundary for a
// single detector, one edge for two, a chain along the written order for more. Nothing is merged.
// A graph larger than `budget` bytes is refused before anything is allocated.
Result<std::shared_ptr<const SpacetimeGraph>, GraphBuildError> build_spacetime_graph(
    const DetectorErrorModel& dem, uint64_t budget = decoding_memory_budget());

}  // namespace ostrel::dem
