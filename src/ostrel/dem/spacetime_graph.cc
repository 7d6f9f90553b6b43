#include "ostrel/dem/spacetime_graph.h"

#include <unistd.h>

#include <cmath>
#include <new>
#include <stdexcept>

namespace ostrel::dem {
namespace {

// Total RAM, or "unlimited" when the system does not say. A node list larger than this could
// only be had by swapping or from an overcommitting kernel that kills the process later.
uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  const auto p = static_cast<uint64_t>(pages), s = static_cast<uint64_t>(page_size);
  return p > UINT64_MAX / s ? UINT64_MAX : p * s;
}

float edge_weight(double p) { return -static_cast<float>(std::log(p / (1.0 - p))); }

std::shared_ptr<SpacetimeGraph> build(const DetectorErrorModel& dem) {
  auto graph = std::make_shared<SpacetimeGraph>();
  const uint64_t boundary = dem.detector_count;

  graph->nodes.resize(boundary + 1);
  for (uint64_t i = 0; i < boundary; ++i) graph->nodes[i].index = i;
  graph->nodes[boundary].index = kBoundaryNodeIndex;
  // Declarations are unique by id, so each one names its node's coordinates directly
  // (one pass instead of a search of the declaration list per node).
  for (const DemDetector& d : dem.detectors)
    if (d.id < boundary) graph->nodes[d.id].coords = d.coords;

  graph->edges.reserve(dem.error_count());
  const auto boundary_endpoint = static_cast<uint32_t>(boundary);
  for (size_t i = 0; i < dem.error_count(); ++i) {
    const DemError error = dem.error(i);
    // A NaN probability passes both tests and gives NaN weights.
    if (error.probability <= 0.0 || error.probability >= 1.0) continue;
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
  }
  return "not enough memory for a decoding graph of " + std::to_string(detector_count + 1) + " nodes";
}

Result<std::shared_ptr<const SpacetimeGraph>, GraphBuildError> build_spacetime_graph(
    const DetectorErrorModel& dem) {
  if (dem.detector_count > UINT32_MAX)
    return fail(GraphBuildError{GraphBuildError::Kind::TooManyDetectors, dem.detector_count});
  // Memory is overcommitted, so an allocation that succeeds can still end the process when it is
  // filled in. The node list, and the decoder's per-node arrays built on it later, must fit in a
  // quarter of the machine's memory (still over a hundred million detectors on a small machine).
  if ((dem.detector_count + 1) * sizeof(GraphNode) > physical_memory_bytes() / 4)
    return fail(GraphBuildError{GraphBuildError::Kind::OutOfMemory, dem.detector_count});
  try {
    return std::shared_ptr<const SpacetimeGraph>(build(dem));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return fail(GraphBuildError{GraphBuildError::Kind::OutOfMemory, dem.detector_count});
}

}  // namespace ostrel::dem
