#pragma once
// Union-Find decoding of detector events on a spacetime graph into an observable flip mask.
//
// Fired detectors seed clusters. In passes over the edges in their stored order, every edge with
// an odd cluster (odd number of fired detectors) at either end merges its two clusters; a pass
// sees the clusters left by the edges before it. Passes repeat while anything still merges. The
// mask is the XOR of the observables of every edge whose endpoints end in one cluster. The
// boundary node joins clusters like any node and has no parity role.
//
// The mask depends only on the final partition into clusters, so the passes are not replayed
// edge by edge: only positions where an edge can meet an odd cluster are visited (still in stored
// order, so each sees what the edges before it left), and the passes end with the first one that
// merges nothing, since every pass after it would find the same clusters. A component with an
// odd number of fired detectors ends as one cluster and is not grown at all.
//
// Inputs that name no node are refused by leaving them out, never by reading outside the graph:
// - a fired cell counts only if its index is a detector node (below the node count and not the
//   boundary node);
// - an edge takes no part at all if an endpoint (after an end above the boundary is taken as the
//   boundary) is not below the node count;
// - observable indices of 64 and above cannot be represented in the mask and are ignored.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/dem/spacetime_graph.h"
#include "ostrel/util/memory_budget.h"
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
  // The decoder's arrays would take more than the memory budget.
  OverBudget = 3,
};

struct DecoderError {
  DecoderErrorKind kind;
  uint64_t node_count = 0;
  uint64_t edge_count = 0;
  // OverBudget only.
  uint64_t bytes = 0;
  uint64_t budget = 0;

  std::string message() const;
};

class UnionFindDecoder {
 public:
  // Takes shared ownership of the graph and allocates every array a decode needs, once; refuses
  // before allocating when those arrays would take more than `budget` bytes.
  static Result<UnionFindDecoder, DecoderError> create(std::shared_ptr<const dem::SpacetimeGraph> graph,
                                                       uint64_t budget = decoding_memory_budget());
  // What those arrays take for a graph of `node_count` nodes with `merging_edges` edges that
  // join two different nodes, `pairs` of them distinct by their ends, including what construction
  // holds only while it runs.
  static uint64_t bytes_needed(uint64_t node_count, uint64_t merging_edges, uint64_t pairs) noexcept;
  // The same for merging edges given by `for_each_key(f)`, which calls f(key) with
  // key = lower end << 32 | higher end for each. The distinct pairs are counted (sorting the keys
  // in a temporary list of 8 bytes each) only when whether the total passes `budget` depends on
  // them; otherwise the result is a bound on the side that decides. May throw std::bad_alloc.
  template <class ForEachKey>
  static uint64_t bytes_against_budget(uint64_t node_count, uint64_t merging_edges, uint64_t budget,
                                       ForEachKey&& for_each_key);

  const std::shared_ptr<const dem::SpacetimeGraph>& graph() const noexcept { return graph_; }
  uint64_t node_count() const noexcept { return cluster_.size(); }

  // Decodes a flat detector matrix whose cell i (byte exactly 1 = fired) is graph node i.
  // Allocates nothing; not thread-safe (the arrays are scratch space reused by every decode).
  uint64_t decode(std::span<const uint8_t> detector_matrix);
  // Decodes the whole window: its matrix, row 0 the oldest round.
  uint64_t decode(const SyndromeWindow& window);

 private:
  // Parallel edges are grouped by their two endpoints into pairs. Once the first of them merges
  // its two clusters the others lie inside, so a pair only ever needs visiting at its next
  // position (rank of its edge among the merging edges, in stored order) after a cluster at one
  // of its ends turned odd.
  struct Ends {
    uint32_t u;
    uint32_t v;
  };
  // One pair as seen from one of its endpoints.
  struct Incidence {
    uint32_t far;              // the pair's other endpoint
    uint32_t positions_begin;  // the pair's positions: positions_[positions_begin .. positions_end)
    uint32_t positions_end;
  };
  // A pair that carries observables, listed at its first endpoint.
  struct ObservablePair {
    uint64_t observables;
    uint32_t far;
  };

  UnionFindDecoder() = default;
  void build(const dem::SpacetimeGraph& graph, uint64_t merging_edges);

  void grow();
  void queue_odd_clusters();
  void grow_at(uint32_t position);
  void activate(uint32_t cluster, uint32_t joining, uint32_t from);
  void merge(uint32_t a, uint32_t b);
  uint64_t internal_observables() const;
  void reset_node(uint32_t x) noexcept;

  std::shared_ptr<const dem::SpacetimeGraph> graph_;
  // `boundary_node` of the graph: no detector, though a node when below the node count.
  uint64_t boundary_ = 0;

  // The merging edges (every edge with both ends on nodes, minus self-loops) by position, and the
  // next position of the same pair (kNoNode after its last).
  std::vector<Ends> position_ends_;
  std::vector<uint32_t> next_position_;
  // Positions of each pair, ascending.
  std::vector<uint32_t> positions_;
  // Pairs at each node: node x has incident_[incident_start_[x] .. incident_start_[x + 1]). Of
  // these, a decode keeps those not yet seen inside a cluster before live_end_[x], in any order.
  std::vector<uint32_t> incident_start_;
  std::vector<Incidence> incident_;
  std::vector<uint32_t> live_end_;
  // Pairs with observables: node x has observable_pairs_[observable_start_[x] .. [x + 1]).
  std::vector<uint32_t> observable_start_;
  std::vector<ObservablePair> observable_pairs_;
  // XOR of the observables of every self-loop, which always lies inside one cluster.
  uint64_t self_loop_observables_ = 0;

  // Connected components of the merging edges. A component with an odd number of fired detectors
  // always ends as a single cluster (an odd cluster keeps growing while it has an outside edge),
  // so its edges all count and it needs no growth at all.
  std::vector<uint32_t> component_;
  std::vector<uint64_t> component_observables_;
  std::vector<uint8_t> component_parity_;

  // Clusters. Every node carries the label of its cluster (a member node); merging relabels the
  // smaller cluster. The per-cluster entries below are meaningful at labels only. Between decodes
  // every node is a singleton without defects; a decode restores that for the nodes it touched.
  std::vector<uint32_t> cluster_;
  std::vector<uint32_t> defects_;  // fired detectors in the cluster
  std::vector<uint32_t> size_;
  std::vector<uint32_t> next_member_;  // ring of the members of each cluster
  std::vector<uint8_t> joined_;        // whether the node has left its singleton cluster
  // The frontier of each cluster: a ring (doubly linked) of its members that still have live
  // pairs, with its length. A cluster that turns odd walks only these.
  std::vector<uint32_t> frontier_next_;
  std::vector<uint32_t> frontier_prev_;
  std::vector<uint32_t> frontier_head_;
  std::vector<uint32_t> frontier_size_;
  // Pass number (counted over all decodes) in which each cluster last had its whole frontier
  // queued. Its pairs then stay queued for the rest of that pass: a pair visited while both its
  // clusters are even is queued again at its next position, so turning odd again needs no walk.
  std::vector<uint32_t> armed_in_pass_;
  uint32_t pass_number_ = 0;

  // Scratch of one decode, sized at construction.
  std::vector<uint32_t> fired_;
  std::vector<uint32_t> seeds_;
  std::vector<uint32_t> touched_;  // nodes that left their singleton cluster
  std::vector<uint64_t> this_pass_;  // positions still to visit in the current pass
  uint64_t merges_in_pass_ = 0;
  bool queued_ = false;
};

template <class ForEachKey>
uint64_t UnionFindDecoder::bytes_against_budget(uint64_t node_count, uint64_t merging_edges, uint64_t budget,
                                                ForEachKey&& for_each_key) {
  const uint64_t fewest = bytes_needed(node_count, merging_edges, merging_edges == 0 ? 0 : 1);
  const uint64_t most = bytes_needed(node_count, merging_edges, merging_edges);
  if (fewest > budget || most <= budget) return fewest > budget ? fewest : most;
  std::vector<uint64_t> keys;
  keys.reserve(merging_edges);
  for_each_key([&](uint64_t key) { keys.push_back(key); });
  std::sort(keys.begin(), keys.end());
  const auto pairs = static_cast<uint64_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
  return bytes_needed(node_count, merging_edges, pairs);
}

}  // namespace ostrel::decode
