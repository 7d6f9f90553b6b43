#pragma once
// Weighted Union-Find decoding with peeling (after Delfosse & Nickerson, with growth by weight as
// Huang, Newman & Brown describe it).
//
// Fired detectors seed clusters. A cluster is active while it holds an odd number of fired
// detectors and has not reached the boundary; every active cluster grows along all edges leaving
// it, one weight unit per unit of time, so an edge between two active clusters grows from both
// ends. How far a node has grown is its cluster's active time since the node joined it (a running
// total at the cluster's root minus an offset at the node), so growth itself costs nothing.
// Growth jumps from event to event: each frontier node of an active cluster has one entry in a
// queue of time buckets, at the earliest time one of its edges can be fully grown. A fully grown
// edge either joins two clusters (union by size, path compression; parity and boundary flags live
// at the roots) or, to the boundary, makes its cluster stop. Each cluster keeps a frontier list of
// its nodes that may still have edges leaving it; only a cluster that starts growing has its
// frontier scheduled. An entry that a stopped cluster or a neighbour's change of pace has made
// stale is checked when it comes up, then dropped or rescheduled.
//
// The edges that joined clusters, plus the one boundary edge of each cluster that reached the
// boundary, form a spanning forest of the clusters. Peeling it from the leaves gives a correction
// whose syndrome is exactly the fired set (whenever the graph admits one): a leaf holding a defect
// puts its edge into the correction and hands the defect on. The observable mask is the XOR of the
// correction's observables.
//
// A decode touches only what its clusters reach and restores only that, so its cost follows the
// fired detectors and not the size of the graph; nothing is allocated once the scratch space has
// grown to the largest decode seen. Fired indices that name no detector are ignored; a detector
// listed twice cancels.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/graph_decoder.h"

namespace ostrel::decode {

class WeightedUnionFind final : public GraphDecoder {
 public:
  explicit WeightedUnionFind(std::shared_ptr<const DecodingGraph> graph);

  uint64_t decode(std::span<const uint32_t> fired_detectors) override;
  std::span<const uint32_t> correction() override { return correction_; }
  double correction_weight() override;
  // Weight 0 is taken as 1: growth needs every edge to take time.
  void set_edge_weight(uint32_t edge, int32_t weight) override;
  void restore_edge_weights() override;
  const DecodingGraph& graph() const override { return *graph_; }
  const std::shared_ptr<const DecodingGraph>& shared_graph() const override { return graph_; }
  std::unique_ptr<GraphDecoder> clone() const override { return std::make_unique<WeightedUnionFind>(graph_); }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  // What growth reads of every node it passes, packed four to a cache line.
  struct Hot {
    uint32_t parent;
    uint8_t parity = 0;   // at roots: odd number of fired detectors in the cluster
    uint8_t stopped = 0;  // at roots: the cluster has reached the boundary
    uint8_t touched = 0;
    uint8_t defect = 0;  // the node itself is fired (during peeling: holds a defect)
    int64_t offset = 0;  // the node has grown total(root) - offset
  };
  struct Cold {
    uint32_t size = 1;
    uint32_t boundary_edge = kNone;  // at roots: the edge by which the cluster reached the boundary
    uint32_t frontier_head = kNone;  // at roots: the cluster's frontier list
    uint32_t frontier_tail = kNone;
    uint32_t frontier_next = kNone;
    uint32_t version = 0;      // queue entries of older versions are stale
    uint32_t peel_xor = 0;     // XOR of the forest edges still at the node
    uint32_t peel_degree = 0;  // how many there are
    int64_t total = 0;         // at roots: active time of the cluster up to `stamp`
    int64_t stamp = 0;
  };
  // One edge as seen from one of its detectors.
  // One edge as seen from one of its detectors; the edge's index sits at the same position of
  // edge_at_, read only when the edge is fully grown.
  struct Adjacent {
    uint32_t other;  // the far endpoint; the boundary node for a boundary edge
    int32_t length;  // twice the weight
  };
  // What peeling and the read-out need of an edge.
  struct Ends {
    uint32_t u;
    uint32_t v;
    uint64_t observables;
  };
  // A scheduled look at a node. Entries wait in a bucket per time, kept in a ring of buckets
  // longer than the longest edge: every pending entry lies within one edge length of now, so a
  // bucket holds one time only. A bitmap of the non-empty buckets finds the next.
  struct Event {
    uint32_t node;
    uint32_t version;
    uint32_t next;  // the next entry of the same bucket
  };

  void reset();
  void set_edge_lengths(uint32_t edge, int32_t length);
  void touch(uint32_t x);
  void toggle_defect(uint32_t x);
  // The root of x's cluster; most nodes growth looks at are roots (untouched or singletons).
  uint32_t find(uint32_t x) {
    if (hot_[x].parent == x) return x;
    return find_slow(x);
  }
  uint32_t find_slow(uint32_t x);
  bool active(uint32_t root) const { return hot_[root].parity != 0 && hot_[root].stopped == 0; }
  int64_t total_now(uint32_t root) const {
    const Cold& n = cold_[root];
    return n.total + (active(root) ? now_ - n.stamp : 0);
  }
  // How far node x (a detector) has grown along each of its edges.
  int64_t grown(uint32_t x, uint32_t root) const { return total_now(root) - hot_[x].offset; }
  void settle(uint32_t root) {
    cold_[root].total = total_now(root);
    cold_[root].stamp = now_;
  }
  std::span<const Adjacent> adjacent(uint32_t x) const {
    return std::span(adjacent_).subspan(adjacent_start_[x], adjacent_start_[x + 1] - adjacent_start_[x]);
  }
  // Queues node x of active cluster `root` at the first time one of its edges may be fully grown;
  // false when none leaves the cluster.
  bool schedule_node(uint32_t x, uint32_t root);
  // Schedules every node of a frontier list, dropping those with nothing left to grow.
  void schedule_frontier(uint32_t& head, uint32_t& tail);
  void visit(uint32_t x);
  // Joins the clusters of u (touched, in an active cluster) and v by edge e.
  void join(uint32_t e, uint32_t u, uint32_t v);
  void reach_boundary(uint32_t e, uint32_t root);
  // The first non-empty bucket at or after now, or kNone.
  uint32_t next_bucket() const;
  void grow();
  void peel();

  std::shared_ptr<const DecodingGraph> graph_;
  std::vector<uint32_t> adjacent_start_;
  std::vector<Adjacent> adjacent_;
  std::vector<uint32_t> edge_at_;
  std::vector<Ends> ends_;
  std::vector<Hot> hot_;
  std::vector<Cold> cold_;
  int64_t now_ = 0;
  std::vector<Event> events_;  // every entry of the decode, by index
  std::vector<uint32_t> bucket_head_;
  std::vector<uint64_t> bucket_bits_;
  uint64_t bucket_mask_ = 0;
  bool buckets_dirty_ = false;  // a decode ended early (an exception) and left entries behind
  // Scratch of one decode.
  std::vector<uint32_t> touched_nodes_;
  std::vector<uint32_t> seeds_;
  std::vector<uint32_t> forest_;
  std::vector<uint32_t> leaves_;
  std::vector<uint32_t> correction_;
  std::vector<uint8_t> edge_mark_;
  std::vector<uint32_t> reweighted_;  // edges set since the last restore
  std::vector<uint8_t> reweighted_mark_;
};

}  // namespace ostrel::decode
