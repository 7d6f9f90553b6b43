#pragma once
// Union-Find decoding of detector events on a spacetime graph into an observable flip mask.
//
// Fired detectors seed clusters. In passes over the edges in their stored order, every edge with
// an odd cluster (odd number of fired detectors) at either end merges its two clusters; a pass
// sees the clusters left by the edges before it. Passes repeat while anything still merges. The
// mask is the XOR of the observables of every edge whose endpoints end in one cluster. The
// boundary node joins clusters like any node and has no parity role.
//
// Inputs that name no node are refused by leaving them out, never by reading outside the graph:
// - a fired cell counts only if its index is a detector node (below the node count and not the
//   boundary node);
// - an edge takes no part at all if an endpoint (after an end above the boundary is taken as the
//   boundary) is not below the node count;
// - observable indices of 64 and above cannot be represented in the mask and are ignored.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/dem/spacetime_graph.h"
#include "ostrel/util/result.h"

namespace ostrel::decode {

class SyndromeWindow;

enum class DecoderErrorKind : uint8_t {
  // No graph was given.
  MissingGraph = 0,
  // More nodes or edges than 32-bit indices can name.
  GraphTooLarge = 1,
  // The decoder's arrays could not be allocated.
  OutOfMemory = 2,
};

struct DecoderError {
  DecoderErrorKind kind;
  uint64_t node_count = 0;
  uint64_t edge_count = 0;

  std::string message() const;
};

class UnionFindDecoder {
 public:
  // Takes shared ownership of the graph and allocates every array a decode needs, once.
  static Result<UnionFindDecoder, DecoderError> create(std::shared_ptr<const dem::SpacetimeGraph> graph);

  const std::shared_ptr<const dem::SpacetimeGraph>& graph() const noexcept { return graph_; }
  uint64_t node_count() const noexcept { return parent_.size(); }

  // Decodes a flat detector matrix whose cell i (byte exactly 1 = fired) is graph node i.
  // Allocates nothing; not thread-safe (the arrays are scratch space reused by every decode).
  uint64_t decode(std::span<const uint8_t> detector_matrix);
  // Decodes the whole window: its matrix, row 0 the oldest round.
  uint64_t decode(const SyndromeWindow& window);

 private:
  struct EdgeEnds {
    uint32_t u;
    uint32_t v;
  };

  UnionFindDecoder() = default;
  void build(const dem::SpacetimeGraph& graph);

  uint32_t find(uint32_t x) noexcept;
  void queue_cluster_edges(uint32_t root, uint32_t position);
  void merge(uint32_t a, uint32_t b, uint32_t defects_a, uint32_t defects_b);
  void grow_along(uint32_t edge);
  void grow(std::span<const uint32_t> seeds);
  uint64_t internal_edge_observables();
  void clear_scratch(std::span<const uint32_t> seeds);

  std::shared_ptr<const dem::SpacetimeGraph> graph_;
  // `boundary_node` of the graph: no detector, though a node when below the node count.
  uint64_t boundary_ = 0;

  // Union-find state, one entry per node. Between decodes every node is a singleton root with
  // rank 0 and no defects; a decode restores that for the nodes it touched.
  std::vector<uint32_t> parent_;
  std::vector<uint8_t> rank_;
  std::vector<uint32_t> defects_;
  // Circular list of the members of each cluster, to visit the nodes of a cluster that turns odd.
  std::vector<uint32_t> next_member_;

  // The edges that can merge clusters: every edge with both ends on nodes, minus self-loops, in
  // stored order, with their observables folded into a mask.
  std::vector<EdgeEnds> ends_;
  std::vector<uint64_t> observables_;
  // Edges at each node (both ends), ascending: node x owns incident_[incident_start_[x] ..
  // incident_start_[x + 1]).
  std::vector<size_t> incident_start_;
  std::vector<uint32_t> incident_;
  // XOR of the observables of every self-loop, which always lies inside one cluster.
  uint64_t self_loop_observables_ = 0;

  // Connected components of the merging edges. A component with an odd number of fired detectors
  // always ends as a single cluster (an odd cluster keeps growing while it has an outside edge),
  // so its edges all count and it needs no growth at all.
  std::vector<uint32_t> component_;
  std::vector<uint64_t> component_observables_;
  std::vector<uint8_t> component_parity_;

  // Scratch of one decode, sized at construction.
  std::vector<uint32_t> fired_;
  std::vector<uint32_t> seeds_;
  std::vector<uint32_t> touched_;  // nodes that left their singleton cluster
  // Bit sets over the merging edges: still to visit in this pass, queued for the next pass, and
  // edges known to lie inside one cluster (clusters only grow, so they stay there).
  std::vector<uint64_t> this_pass_;
  std::vector<uint64_t> next_pass_;
  std::vector<uint64_t> inside_;
  bool next_pass_queued_ = false;
  uint64_t merges_in_pass_ = 0;
};

}  // namespace ostrel::decode
