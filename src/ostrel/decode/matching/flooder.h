#pragma once
// The flooder: regions growing and shrinking on the detector graph, one queue of events in time.
//
// Every node remembers the region whose own growth claimed it, the detection event that growth
// came from and the observables crossed on the way. A node's local radius (how far past it the
// growth reaches) is `wrapped` plus the radii of its region and that region's blossom ancestors;
// only the top-level region's radius changes, so nothing per node moves while time passes. A
// node of a growing region is queued at the first time one of its edges will be fully covered:
// the far node is free (it is claimed), the boundary (an event for the matcher), or another
// region's node (a collision, for the matcher). A node of a frozen region is queued for the
// first collision with a growing neighbour. A shrinking region gives its nodes back last
// claimed first, then reports the time its radius reaches zero. Nodes whose neighbours change
// pace are looked at again when their entry comes up; a change that brings an event earlier (a
// region starting to grow or to stand still, a node given back) queues the nodes concerned.
//
// Edges are twice their (fine, edge_weights.h) weight long, so that two regions growing toward
// each other meet on a whole unit of time.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/matching/event_queue.h"
#include "ostrel/decode/matching/region.h"

namespace ostrel::decode::matching {

struct MatcherEvent {
  enum Kind : uint8_t { kNone, kRegionHitRegion, kRegionHitBoundary, kRegionShrunk };
  Kind kind = kNone;
  uint32_t region = kNone;  // a top-level region
  uint32_t other = kNone;   // the top-level region hit
  CompressedEdge edge;      // from a detection event of `region` to one of `other` or the boundary
};

class Flooder {
 public:
  explicit Flooder(const DecodingGraph& graph);

  struct Neighbor {
    uint32_t node;  // the boundary node for an edge to the boundary
    int32_t length;
    uint64_t observables;
  };
  // What growth reads of a claimed node (which region claimed it is kept apart, in owner_, the
  // one field read for every neighbour looked at).
  struct NodeState {
    uint32_t version = 0;
    Time wrapped = 0;
  };
  // Where the growth that claimed the node came from. Following `parent` leads back to the source
  // along a shortest path: a node is given back before the node it was claimed from.
  // Neighbour entries are below this (an adjacency of 2^31 entries would not fit in memory).
  static constexpr uint32_t kCarriedVia = 0x80000000u;
  struct NodeOrigin {
    uint32_t source = kNone;
    uint32_t own_region = kNone;  // a detection event's own region
    uint64_t observables = 0;     // crossed from the source
    uint32_t parent = kNone;      // the node it was claimed from (kNone at the source)
    uint32_t via = kNone;         // the parent's neighbour entry (neighbors_ index) it was claimed across;
                                  // for a carried node kCarriedVia + its place in the parent's list in
                                  // the graph it came from (checked, else looked up, when read)
    bool touched = false;
  };

  // Finished regions copied out of one flooder's growth, to be put into another (or the same one,
  // after its reset) whose graph numbers the same nodes `shift` lower: a sliding window's buffer,
  // which the next window's graph starts with. Buffers are reused, so nothing is allocated once warm.
  struct Carry {
    uint32_t boundary = kNone;        // the boundary node of the graph they came from
    uint32_t region_ids = 0;          // region ids there are below this
    std::vector<uint32_t> ids;        // the regions' ids there, blossom children after their parents
    std::vector<Region> regions;      // their state (the first `count` entries)
    size_t count = 0;
    std::vector<uint32_t> nodes;      // the nodes their own growth claimed
    std::vector<NodeState> states;
    std::vector<NodeOrigin> origins;

    void clear() {
      ids.clear();
      count = 0;
      nodes.clear();
      states.clear();
      origins.clear();
    }
  };

  // Forgets the last decode, touching only what it touched.
  void reset();
  // Appends the top-level region `top` and everything inside it to `out` (every node of its area
  // must lie at or past the shift the carry will be put in with).
  void save(uint32_t top, Carry& out) const;
  // The same for a carry this flooder itself restores next: the regions' node and child lists
  // are moved out rather than copied, leaving this decode's regions without them.
  void save_moving(uint32_t top, Carry& out);
  // Forgets the last decode, then takes the carried regions in, frozen, the i-th saved as region
  // i, with node x of their graph as x - shift here. A partner that was not carried leaves its
  // region unmatched (the caller reopens it); a claim record that leads out of the carried nodes
  // is cut, so that a path through it is searched for. `scratch` maps ids while it works. The
  // regions' lists are moved out of `in` (its regions hold others after).
  void restore(Carry& in, uint32_t shift, std::vector<uint32_t>& scratch);
  // Region ids of this decode are below this.
  uint32_t region_ids() const { return region_count_; }
  // A detection event at `node` gets its own region, growing from now.
  void add_detection_event(uint32_t node);
  // Runs the queue to the next event the matcher must handle; kNone when the queue is empty.
  MatcherEvent next_event() {
    MatcherEvent out;
    next_event(out);
    return out;
  }
  // The same into `out` (the matcher's loop: no event copied per step); false when none is left.
  bool next_event(MatcherEvent& out);

  Time now() const { return now_; }
  uint32_t boundary() const { return boundary_; }
  Region& region(uint32_t r) { return regions_[r]; }
  const Region& region(uint32_t r) const { return regions_[r]; }
  uint32_t new_region();
  void free_region(uint32_t r);
  // Regions alive in this decode (freed ones are skipped).
  std::span<const uint32_t> live_regions();
  uint32_t top_of(uint32_t r) const {
    while (regions_[r].blossom_parent != kNone) r = regions_[r].blossom_parent;
    return r;
  }
  // The child of `blossom` that holds detection event `event`.
  uint32_t child_holding(uint32_t blossom, uint32_t event) const;
  // Sets a region's pace from now on, keeping its radius; queues its next shrink step when it
  // shrinks, and otherwise (unless the caller queues those that need it) every node of its area,
  // since growing neighbours may reach a region that stopped shrinking.
  void set_slope(uint32_t r, int8_t slope, bool look_at_area = true);
  // Queues every node of a growing region's area, its blossom children's included.
  void look_at_area_of(uint32_t r);
  // Undoes a top-level region's growth: gives back every node of its area and frees it and the
  // regions inside it; appends its detection events to `events` (to be added again).
  void dissolve(uint32_t r, std::vector<uint32_t>& events);
  // Sets the clock back to zero once every region is frozen (as after a decode): frozen radii do
  // not depend on it. Growth that starts again from zero keeps radii and times of one parity.
  void restart_clock() {
    queue_.clear();
    now_ = 0;
    look_again_ = kNone;
  }
  // The top-level region that claimed node x, or kNone when it is free.
  uint32_t top_owner(uint32_t x) const { return owned(x) ? top_of(owner_[x]) : kNone; }

  std::span<const Neighbor> neighbors(uint32_t x) const {
    return std::span(neighbors_).subspan(start_[x], start_[x + 1] - start_[x]);
  }
  std::span<const uint32_t> neighbor_edges(uint32_t x) const {
    return std::span(edge_of_).subspan(start_[x], start_[x + 1] - start_[x]);
  }
  // Re-weighting: the length of both incidences of `edge`.
  void set_edge_length(uint32_t edge, int32_t length) {
    for (const uint32_t at : incidence_of_[edge])
      if (at != kNone) neighbors_[at].length = length;
  }
  // The length the graph gives `edge`.
  int32_t own_length(uint32_t edge) const { return own_length_[edge]; }
  // The length `edge` has now.
  int32_t length(uint32_t edge) const { return neighbors_[incidence_of_[edge][0]].length; }

  // Whether node x is claimed by a region now, and where that claim came from.
  bool owned(uint32_t x) const { return x != boundary_ && owner_[x] != kNone; }
  const NodeOrigin& origin(uint32_t x) const { return origins_[x]; }
  // How far growth reaches past a claimed node now (the radii of its region and their blossoms).
  Time reach_past(uint32_t x) const {
    uint32_t top;
    return local_radius(x, top);
  }
  // Appends the edges of the path `edge` stands for as growth found it: back from its near node to
  // its source along the claims, across the edge where the growths met, back from the far node to
  // its source. Returns the path's length, or -1 (appending nothing) when the records no longer
  // hold that path (a node on it was given back since, or the edge was joined from two).
  Time append_grown_path(const CompressedEdge& edge, std::vector<uint32_t>& edges) const;

  // Edge index and length of a neighbour entry (an index into the neighbour lists).
  uint32_t entry_edge(uint32_t at) const { return edge_of_[at]; }
  const Neighbor& entry(uint32_t at) const { return neighbors_[at]; }
  // The neighbour entry of x that leads to y, or kNone.
  uint32_t entry_between(uint32_t x, uint32_t y) const {
    for (uint32_t at = start_[x]; at < start_[x + 1]; ++at)
      if (neighbors_[at].node == y) return at;
    return kNone;
  }

 private:
  // The local radius of a claimed node and the top-level region it belongs to.
  Time local_radius(uint32_t x, uint32_t& top) const {
    uint32_t r = owner_[x];
    Time radius = nodes_[x].wrapped + regions_[r].radius(now_);
    while (regions_[r].blossom_parent != kNone) {
      r = regions_[r].blossom_parent;
      radius += regions_[r].radius(now_);
    }
    top = r;
    return radius;
  }
  void touch(uint32_t x) {
    if (origins_[x].touched) return;
    origins_[x].touched = true;
    touched_.push_back(x);
  }
  // save() for a const flooder (copies), save_moving() for one that gives its lists away.
  template <typename Self>
  static void save_region(Self& self, uint32_t top, Carry& out);
  void schedule_look(uint32_t x);
  void schedule_shrink(uint32_t r);
  // The first time an edge of x will be covered, and which; INT64_MAX when none will.
  Time first_contact(uint32_t x, uint32_t top, Time radius, size_t& which) const;
  bool claim_or_report(uint32_t x, MatcherEvent& out);
  bool shrink_step(uint32_t r, MatcherEvent& out);
  void release(uint32_t x);

  uint32_t boundary_;
  std::vector<uint32_t> start_;
  std::vector<Neighbor> neighbors_;
  std::vector<uint32_t> edge_of_;
  std::vector<std::array<uint32_t, 2>> incidence_of_;  // per edge: its places in neighbors_
  std::vector<int32_t> own_length_;                    // per edge
  std::vector<uint32_t> owner_;  // per node: the region whose own growth claimed it, or kNone
  std::vector<NodeState> nodes_;
  std::vector<NodeOrigin> origins_;
  std::vector<uint32_t> touched_;
  std::vector<Region> regions_;
  std::vector<uint8_t> region_alive_;
  uint32_t region_count_ = 0;  // regions handed out this decode (ids below it)
  std::vector<uint32_t> free_regions_;
  std::vector<uint32_t> live_scratch_;
  std::vector<uint32_t> area_scratch_;
  EventQueue queue_;
  Time now_ = 0;
  uint32_t look_again_ = kNone;  // a node whose event was handed to the matcher
};

}  // namespace ostrel::decode::matching
