#include "ostrel/dem/spacetime_graph.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

namespace ostrel::dem {
namespace {

// Written as the negation so that a NaN probability still gives edges (with NaN weights).
bool becomes_edges(const DemError& error) { return !(error.probability <= 0.0 || error.probability >= 1.0); }

// Edges an error adds: one to the boundary for a single detector, a chain link per further one.
uint64_t edges_of(const DemError& error) {
  const size_t d = error.detectors.size();
  return d <= 1 ? d : d - 1;
}

// The heap block behind an edge's copy of `n` observables: nothing for none, else the request
// plus the allocator's 8-byte header rounded up to 16, at least 32 (as glibc's malloc does).
uint64_t observable_block(size_t n) {
  if (n == 0) return 0;
  return std::max<uint64_t>(32, (uint64_t{n} + 8 + 15) / 16 * 16);
}

float edge_weight(double p) { return -static_cast<float>(std::log(p / (1.0 - p))); }

std::shared_ptr<SpacetimeGraph> build(const DetectorErrorModel& dem, uint64_t edge_count) {
  auto graph = std::make_shared<SpacetimeGraph>();
  const uint64_t boundary = dem.detector_count;

  graph->nodes.resize(boundary + 1);
  for (uint64_t i = 0; i < boundary; ++i) graph->nodes[i].index = i;
  graph->nodes[boundary].index = kBoundaryNodeIndex;
  // Declarations are unique by id, so each one names its node's coordinates directly
  // (one pass instead of a search of the declaration list per node).
  for (const DemDetector& d : dem.detectors)
    if (d.id < boundary) graph->nodes[d.id].coords = d.coords;

  graph->edges.reserve(edge_count);
  const auto boundary_endpoint = static_cast<uint32_t>(boundary);
  for (size_t i = 0; i < dem.error_count(); ++i) {
    const DemError error = dem.error(i);
    if (!becomes_edges(error)) continue;
    const float weight = edge_weight(error.probability);
    const std::vector<uint8_t> observables(error.observables.begin(), error.observables.end());
    const auto& d = error.detectors;
    if (d.size() == 1) {
      graph->edges.push_back({observables, d[0], boundary_endpoint, weight});
    } else {
      for (size_t k = 1; k < d.size(); ++k) graph->edges.push_back({observables, d[k - 1], d[k], weight});
    }
  }
  graph->boundary_node = boundary;
  return graph;
}

}  // namespace

std::string GraphBuildError::message() const {
  const std::string n = std::to_string(detector_count);
  switch (kind) {
    case Kind::TooManyDetectors:
      return "detector error model has " + n + " detectors; a decoding graph holds at most 4294967295";
    case Kind::OutOfMemory:
      break;
    case Kind::OverBudget:
      return "a decoding graph of " + std::to_string(detector_count + 1) + " nodes and " +
             std::to_string(edge_count) + " edges needs " + std::to_string(mebibytes(bytes)) +
             " MiB, more than the budget of " + std::to_string(mebibytes(budget)) + " MiB";
  }
  return "not enough memory for a decoding graph of " + std::to_string(detector_count + 1) + " nodes";
}

GraphSize spacetime_graph_size(const DetectorErrorModel& dem) {
  GraphSize size;
  uint64_t observable_bytes = 0;
  for (size_t i = 0; i < dem.error_count(); ++i) {
    const DemError error = dem.error(i);
    if (!becomes_edges(error)) continue;
    const uint64_t edges = edges_of(error);
    size.edges += edges;
    observable_bytes += edges * observable_block(error.observables.size());
  }
  // At most 2^32 nodes and 2^26 * 2^24 edges (the parser's limits), so nothing here overflows.
  size.bytes = (dem.detector_count + 1) * sizeof(GraphNode) + size.edges * sizeof(GraphEdge) + observable_bytes;
  return size;
}

std::optional<GraphBuildError> check_node_count(const DetectorErrorModel& dem) {
  if (dem.detector_count > UINT32_MAX) return GraphBuildError{GraphBuildError::Kind::TooManyDetectors, dem.detector_count};
  // Memory is overcommitted, so an allocation that succeeds can still end the process when it is
  // filled in. The node list, and the decoder's per-node arrays built on it later, must fit in a
  // quarter of the machine's memory (still over a hundred million detectors on a small machine).
  if ((dem.detector_count + 1) * sizeof(GraphNode) > physical_memory_bytes() / 4)
    return GraphBuildError{GraphBuildError::Kind::OutOfMemory, dem.detector_count};
  return std::nullopt;
}

Result<std::shared_ptr<const SpacetimeGraph>, GraphBuildError> build_spacetime_graph(
    const DetectorErrorModel& dem, uint64_t budget) {
  if (auto refused = check_node_count(dem)) return fail(std::move(*refused));
  const GraphSize size = spacetime_graph_size(dem);
  if (size.bytes > budget)
    return fail(GraphBuildError{GraphBuildError::Kind::OverBudget, dem.detector_count, size.edges, size.bytes, budget});
  try {
    return std::shared_ptr<const SpacetimeGraph>(build(dem, size.edges));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fail(GraphBuildError{GraphBuildError::Kind::OutOfMemory, dem.detector_count});
}

}  // namespace ostrel::dem
