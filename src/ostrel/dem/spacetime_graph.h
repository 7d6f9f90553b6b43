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
// detector_count) must fit in them, and the node list needs detector_count + 1 entries of memory.
struct GraphBuildError {
  enum class Kind : uint8_t { TooManyDetectors, OutOfMemory };
  Kind kind = Kind::TooManyDetectors;
  uint64_t detector_count = 0;

  // "detector error model has 4294967296 detectors; a decoding graph holds at most 4294967295"
  // or "not enough memory for a decoding graph of 4294967296 nodes".
  std::string message() const;
};

// Errors with 0 < p < 1 become edges weighted -ln(p / (1 - p)): one edge to the boundary for a
// single detector, one edge for two, a chain along the written order for more. Nothing is merged.
Result<std::shared_ptr<const SpacetimeGraph>, GraphBuildError> build_spacetime_graph(
    const DetectorErrorModel& dem);

}  // namespace ostrel::dem
