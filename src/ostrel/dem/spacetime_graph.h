#pragma once
// The decoding graph derived from a detector error model: one node per detector plus a boundary
// node, and one edge per graph-like error (errors on three or more detectors become a chain).
// Immutable once built and shared read-only (std::shared_ptr<const SpacetimeGraph>).
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

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

}  // namespace ostrel::dem
