#pragma once
// Weighted Union-Find decoding with peeling (after Delfosse & Nickerson, with growth by weight as
// Huang, Newman & Brown describe it).
//
// Fired detectors seed clusters. A cluster is active while it holds an odd number of fired
// detectors and has not reached the boundary; every active cluster grows along all edges leaving
// it, one weight unit per unit of time, so an edge between two active clusters grows from both
// ends. Growth jumps from event to event: each edge with a growing end has one entry in a queue
// ordered by the time it will be fully grown. A fully grown edge either joins two clusters (union by
// size, path compression; parity and boundary flags live at the roots) or, to the boundary, makes
// its cluster stop. Each cluster keeps a frontier list of its nodes that still have edges leaving
// it; only the clusters whose activity changes have their frontier edges rescheduled.
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

namespace ostrel::decode {

class WeightedUnionFind {
 public:
  explicit WeightedUnionFind(std::shared_ptr<const DecodingGraph> graph);

  // Decodes one shot given as the indices of its fired detectors; returns the observable mask.
  uint64_t decode(std::span<const uint32_t> fired_detectors);
  // Decodes one shot given as one byte per detector (non-zero = fired).
  uint64_t decode_dense(std::span<const uint8_t> detection_events);
  // Edge indices of the last decode's correction, in no particular order.
  std::span<const uint32_t> correction() const { return correction_; }
  const DecodingGraph& graph() const { return *graph_; }
  const std::shared_ptr<const DecodingGraph>& shared_graph() const { return graph_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Node {
    uint32_t parent;
    uint32_t size = 1;
    uint32_t boundary_edge = kNone;  // at roots: the edge by which the cluster reached the boundary
    uint32_t frontier_head = kNone;  // at roots: the cluster's frontier list
    uint32_t frontier_tail = kNone;
    uint32_t frontier_next = kNone;
    uint32_t peel_xor = 0;     // XOR of the forest edges still at the node
    uint32_t peel_degree = 0;  // how many there are
    uint8_t parity = 0;        // at roots: odd number of fired detectors in the cluster
    uint8_t defect = 0;        // the node itself is fired (during peeling: holds a defect)
    uint8_t touched = 0;
  };
  struct EdgeState {
    int64_t grown = 0;  // growth as of `stamp`
    int64_t stamp = 0;
    uint32_t version = 0;  // queue entries of older versions are stale
    uint8_t rate = 0;      // growing ends
    uint8_t touched = 0;
    uint8_t in_correction = 0;
  };
  // A scheduled completion. Events wait in a bucket per completion time, kept in a ring of
  // buckets longer than the longest edge: every pending event lies within one edge length of
  // now, so a bucket holds one time only. A bitmap of the non-empty buckets finds the next.
  struct Event {
    uint32_t edge;
    uint32_t version;
    uint32_t next;  // the next event of the same bucket
  };

  void reset();
  void touch(uint32_t x);
  void toggle_defect(uint32_t x);
  uint32_t find(uint32_t x);
  bool active(uint32_t root) const {
    const Node& n = nodes_[root];
    return n.parity != 0 && n.boundary_edge == kNone;
  }
  void set_rate(uint32_t e, uint8_t rate);
  // Reschedules every edge leaving the nodes of list [head..] and drops nodes with none left;
  // returns the new head and tail through the arguments.
  void reschedule(uint32_t& head, uint32_t& tail);
  void schedule(int64_t time, uint32_t e, uint32_t version);
  // The first non-empty bucket at or after now, or kNone.
  uint32_t next_bucket() const;
  void grow();
  void complete(uint32_t e);
  void peel();

  std::shared_ptr<const DecodingGraph> graph_;
  std::vector<Node> nodes_;
  std::vector<EdgeState> edge_state_;
  int64_t now_ = 0;
  // Scratch of one decode.
  std::vector<uint32_t> touched_nodes_;
  std::vector<uint32_t> touched_edges_;
  std::vector<uint32_t> seeds_;
  std::vector<Event> events_;  // every event of the decode, by index
  std::vector<uint32_t> bucket_head_;
  std::vector<uint64_t> bucket_bits_;
  uint64_t bucket_mask_ = 0;
  bool buckets_dirty_ = false;  // a decode ended early (an exception) and left events behind
  std::vector<uint32_t> forest_;
  std::vector<uint32_t> leaves_;
  std::vector<uint32_t> correction_;
  std::vector<uint32_t> fired_scratch_;
};

}  // namespace ostrel::decode
