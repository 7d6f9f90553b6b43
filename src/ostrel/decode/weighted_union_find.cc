#include "ostrel/decode/weighted_union_find.h"

#include <algorithm>
#include <utility>

namespace ostrel::decode {
namespace {

// Edges are twice their weight long: a shared edge grown from both ends then meets in its middle
// on a whole time unit whenever both ends started together.
int64_t length_of(const DecodingEdge& e) { return 2 * int64_t{e.weight}; }

}  // namespace

WeightedUnionFind::WeightedUnionFind(std::shared_ptr<const DecodingGraph> graph) : graph_(std::move(graph)) {
  nodes_.resize(size_t{graph_->detector_count} + 1);
  for (uint32_t x = 0; x < nodes_.size(); ++x) nodes_[x].parent = x;
  edge_state_.resize(graph_->edges.size());
  int64_t longest = 1;
  for (const DecodingEdge& e : graph_->edges) longest = std::max(longest, length_of(e));
  uint64_t buckets = 64;
  while (buckets <= static_cast<uint64_t>(longest)) buckets *= 2;
  bucket_head_.assign(buckets, kNone);
  bucket_bits_.assign(buckets / 64, 0);
  bucket_mask_ = buckets - 1;
}

void WeightedUnionFind::schedule(int64_t time, uint32_t e, uint32_t version) {
  const auto b = static_cast<uint64_t>(time) & bucket_mask_;
  events_.push_back({e, version, bucket_head_[b]});
  bucket_head_[b] = static_cast<uint32_t>(events_.size() - 1);
  bucket_bits_[b >> 6] |= uint64_t{1} << (b & 63);
}

uint32_t WeightedUnionFind::next_bucket() const {
  const uint64_t start = static_cast<uint64_t>(now_) & bucket_mask_;
  const size_t words = bucket_bits_.size();
  size_t w = start >> 6;
  uint64_t bits = bucket_bits_[w] & (~uint64_t{0} << (start & 63));
  for (size_t k = 0; k <= words; ++k) {
    if (bits) return static_cast<uint32_t>((w << 6) + static_cast<size_t>(__builtin_ctzll(bits)));
    w = w + 1 == words ? 0 : w + 1;
    bits = bucket_bits_[w];
  }
  return kNone;
}

void WeightedUnionFind::touch(uint32_t x) {
  Node& n = nodes_[x];
  if (n.touched) return;
  n.touched = 1;
  touched_nodes_.push_back(x);
  // A node joins the frontier lists only as a detector: nothing grows from the boundary node.
  if (x != graph_->boundary()) n.frontier_head = n.frontier_tail = x;
}

void WeightedUnionFind::toggle_defect(uint32_t x) {
  touch(x);
  nodes_[x].defect ^= 1;
  nodes_[x].parity ^= 1;
  seeds_.push_back(x);
}

uint32_t WeightedUnionFind::find(uint32_t x) {
  // Path halving: every other node on the way points to its grandparent.
  while (nodes_[x].parent != x) {
    const uint32_t p = nodes_[x].parent;
    nodes_[x].parent = nodes_[p].parent;
    x = p;
  }
  return x;
}

void WeightedUnionFind::set_rate(uint32_t e, uint8_t rate) {
  EdgeState& s = edge_state_[e];
  if (!s.touched) {
    s.touched = 1;
    s.stamp = now_;
    touched_edges_.push_back(e);
  }
  s.grown += int64_t{s.rate} * (now_ - s.stamp);
  s.stamp = now_;
  if (rate == s.rate) return;
  s.rate = rate;
  ++s.version;
  if (rate == 0) return;
  const int64_t remaining = std::max<int64_t>(length_of(graph_->edges[e]) - s.grown, 0);
  schedule(now_ + (remaining + rate - 1) / rate, e, s.version);
}

void WeightedUnionFind::reschedule(uint32_t& head, uint32_t& tail) {
  const uint32_t boundary = graph_->boundary();
  uint32_t new_head = kNone, new_tail = kNone;
  for (uint32_t x = head; x != kNone;) {
    const uint32_t next = nodes_[x].frontier_next;
    const uint32_t root = find(x);
    const uint8_t own = active(root) ? 1 : 0;
    bool leaving = false;
    for (const Incidence& in : graph_->incident(x)) {
      if (in.other == boundary) {
        set_rate(in.edge, own);
        leaving = true;
        continue;
      }
      const uint32_t far = find(in.other);
      if (far == root) {
        set_rate(in.edge, 0);
      } else {
        set_rate(in.edge, static_cast<uint8_t>(own + (active(far) ? 1 : 0)));
        leaving = true;
      }
    }
    if (leaving) {
      nodes_[x].frontier_next = kNone;
      if (new_tail == kNone) {
        new_head = x;
      } else {
        nodes_[new_tail].frontier_next = x;
      }
      new_tail = x;
    } else {
      nodes_[x].frontier_next = kNone;
    }
    x = next;
  }
  head = new_head;
  tail = new_tail;
}

void WeightedUnionFind::complete(uint32_t e) {
  const DecodingEdge& edge = graph_->edges[e];
  EdgeState& s = edge_state_[e];
  s.grown = length_of(edge);
  s.stamp = now_;
  s.rate = 0;
  ++s.version;

  const uint32_t a = find(edge.u);
  if (edge.v == graph_->boundary()) {
    // The cluster reaches the boundary and stops growing.
    Node& r = nodes_[a];
    if (r.boundary_edge != kNone) return;
    const bool was_active = active(a);
    r.boundary_edge = e;
    forest_.push_back(e);
    touch(edge.v);
    if (was_active) reschedule(r.frontier_head, r.frontier_tail);
    return;
  }
  touch(edge.u);
  touch(edge.v);
  const uint32_t b = find(edge.v);
  if (a == b) return;
  const bool a_active = active(a), b_active = active(b);
  uint32_t a_head = nodes_[a].frontier_head, a_tail = nodes_[a].frontier_tail;
  uint32_t b_head = nodes_[b].frontier_head, b_tail = nodes_[b].frontier_tail;
  const auto [root, child] = nodes_[a].size >= nodes_[b].size ? std::pair(a, b) : std::pair(b, a);
  Node& r = nodes_[root];
  Node& c = nodes_[child];
  c.parent = root;
  r.size += c.size;
  r.parity ^= c.parity;
  if (r.boundary_edge == kNone) r.boundary_edge = c.boundary_edge;
  c.frontier_head = c.frontier_tail = kNone;
  forest_.push_back(e);

  const bool now_active = active(root);
  if (a_active != now_active) reschedule(a_head, a_tail);
  if (b_active != now_active) reschedule(b_head, b_tail);
  // The edges just grown (and any parallel paths between the two) are inside now; a side whose
  // activity did not change keeps them scheduled only if they still grow, which the other side's
  // rescheduling settled, since every edge between the two touches both lists.
  if (a_head == kNone) {
    r.frontier_head = b_head;
    r.frontier_tail = b_tail;
  } else {
    if (b_head != kNone) nodes_[a_tail].frontier_next = b_head;
    r.frontier_head = a_head;
    r.frontier_tail = b_head != kNone ? b_tail : a_tail;
  }
}

void WeightedUnionFind::grow() {
  // Every seed's edges start growing; a seed of an even (cancelled) or odd cluster alike is
  // rescheduled, the rates follow from the clusters' activity.
  for (uint32_t x : seeds_) {
    if (x == graph_->boundary()) continue;
    Node& n = nodes_[x];
    if (!n.parity) continue;
    reschedule(n.frontier_head, n.frontier_tail);
  }
  buckets_dirty_ = true;
  for (uint32_t b = next_bucket(); b != kNone; b = next_bucket()) {
    // Buckets ahead of now by less than the ring's length hold the times now .. now + length.
    now_ += static_cast<int64_t>((b - (static_cast<uint64_t>(now_) & bucket_mask_)) & bucket_mask_);
    uint32_t i = bucket_head_[b];
    bucket_head_[b] = kNone;
    bucket_bits_[b >> 6] &= ~(uint64_t{1} << (b & 63));
    // Completions may schedule more events in this very bucket; they form a new list.
    while (i != kNone) {
      const Event ev = events_[i];
      i = ev.next;
      if (edge_state_[ev.edge].version == ev.version) complete(ev.edge);
    }
  }
  buckets_dirty_ = false;
}

void WeightedUnionFind::peel() {
  const uint32_t boundary = graph_->boundary();
  for (uint32_t e : forest_) {
    const DecodingEdge& edge = graph_->edges[e];
    nodes_[edge.u].peel_xor ^= e;
    ++nodes_[edge.u].peel_degree;
    nodes_[edge.v].peel_xor ^= e;
    ++nodes_[edge.v].peel_degree;
  }
  for (uint32_t x : touched_nodes_)
    if (x != boundary && nodes_[x].peel_degree == 1) leaves_.push_back(x);
  while (!leaves_.empty()) {
    const uint32_t x = leaves_.back();
    leaves_.pop_back();
    Node& n = nodes_[x];
    if (n.peel_degree != 1) continue;
    const uint32_t e = n.peel_xor;
    const DecodingEdge& edge = graph_->edges[e];
    const uint32_t y = edge.u == x ? edge.v : edge.u;
    Node& m = nodes_[y];
    n.peel_degree = 0;
    n.peel_xor = 0;
    --m.peel_degree;
    m.peel_xor ^= e;
    if (n.defect) {
      n.defect = 0;
      m.defect ^= 1;
      correction_.push_back(e);
    }
    if (y != boundary && m.peel_degree == 1) leaves_.push_back(y);
  }
}

void WeightedUnionFind::reset() {
  for (uint32_t x : touched_nodes_) {
    Node& n = nodes_[x];
    n = Node{};
    n.parent = x;
  }
  for (uint32_t e : touched_edges_) edge_state_[e] = EdgeState{};
  touched_nodes_.clear();
  touched_edges_.clear();
  seeds_.clear();
  events_.clear();
  if (buckets_dirty_) {
    std::fill(bucket_head_.begin(), bucket_head_.end(), kNone);
    std::fill(bucket_bits_.begin(), bucket_bits_.end(), 0);
    buckets_dirty_ = false;
  }
  forest_.clear();
  leaves_.clear();
  now_ = 0;
}

uint64_t WeightedUnionFind::decode(std::span<const uint32_t> fired_detectors) {
  reset();
  correction_.clear();
  const DecodingGraph& g = *graph_;
  for (uint32_t d : fired_detectors)
    if (d < g.detector_count) toggle_defect(d);
  // Edges more likely than not are assumed to have occurred: their syndrome is part of what the
  // decode explains, and taking one into the correction undoes it.
  for (uint32_t e : g.flipped_edges) {
    toggle_defect(g.edges[e].u);
    if (g.edges[e].v != g.boundary()) toggle_defect(g.edges[e].v);
  }
  grow();
  peel();

  uint64_t mask = g.flipped_observables;
  for (uint32_t e : correction_) mask ^= g.edges[e].observables;
  if (!g.flipped_edges.empty()) {
    // The correction proper: the flipped edges, minus those the peeling undid.
    for (uint32_t e : correction_) edge_state_[e].in_correction = 1;
    size_t kept = 0;
    for (uint32_t e : correction_)
      if (!g.edges[e].flipped) correction_[kept++] = e;
    correction_.resize(kept);
    for (uint32_t e : g.flipped_edges) {
      if (!edge_state_[e].in_correction) {
        correction_.push_back(e);
        if (!edge_state_[e].touched) {
          edge_state_[e].touched = 1;
          touched_edges_.push_back(e);
        }
      }
    }
    for (uint32_t e : touched_edges_) edge_state_[e].in_correction = 0;
  }
  return mask;
}

uint64_t WeightedUnionFind::decode_dense(std::span<const uint8_t> detection_events) {
  fired_scratch_.clear();
  const size_t n = std::min<size_t>(detection_events.size(), graph_->detector_count);
  for (size_t i = 0; i < n; ++i)
    if (detection_events[i]) fired_scratch_.push_back(static_cast<uint32_t>(i));
  return decode(fired_scratch_);
}

}  // namespace ostrel::decode
