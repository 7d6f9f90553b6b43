#include "ostrel/decode/weighted_union_find.h"

#include <algorithm>
#include <utility>

namespace ostrel::decode {

WeightedUnionFind::WeightedUnionFind(std::shared_ptr<const DecodingGraph> graph) : graph_(std::move(graph)) {
  const uint32_t n = graph_->detector_count + 1;
  hot_.resize(n);
  cold_.resize(n);
  for (uint32_t x = 0; x < n; ++x) hot_[x].parent = x;
  // Edges are twice their weight long: an edge grown from both ends by clusters that started
  // together then meets in its middle on a whole time unit. The lengths sit beside the
  // incidences, which growth reads together.
  adjacent_start_.assign(graph_->adjacency_start.begin(), graph_->adjacency_start.end());
  adjacent_.reserve(graph_->adjacency.size());
  edge_at_.reserve(graph_->adjacency.size());
  int64_t longest = 1;
  for (const Incidence& in : graph_->adjacency) {
    adjacent_.push_back({in.other, 2 * graph_->edges[in.edge].weight});
    edge_at_.push_back(in.edge);
    longest = std::max<int64_t>(longest, adjacent_.back().length);
  }
  edge_mark_.assign(graph_->edges.size(), 0);
  reweighted_mark_.assign(graph_->edges.size(), 0);
  ends_.reserve(graph_->edges.size());
  for (const DecodingEdge& e : graph_->edges) ends_.push_back({e.u, e.v, e.observables});
  uint64_t buckets = 64;
  while (buckets <= static_cast<uint64_t>(longest)) buckets *= 2;
  bucket_head_.assign(buckets, kNone);
  bucket_bits_.assign(buckets / 64, 0);
  bucket_mask_ = buckets - 1;
}

void WeightedUnionFind::touch(uint32_t x) {
  if (hot_[x].touched) return;
  hot_[x].touched = 1;
  cold_[x].stamp = now_;
  touched_nodes_.push_back(x);
  // A node joins the frontier lists only as a detector: nothing grows from the boundary node.
  if (x != graph_->boundary()) cold_[x].frontier_head = cold_[x].frontier_tail = x;
}

void WeightedUnionFind::toggle_defect(uint32_t x) {
  touch(x);
  hot_[x].defect ^= 1;
  hot_[x].parity ^= 1;
  seeds_.push_back(x);
}

uint32_t WeightedUnionFind::find_slow(uint32_t x) {
  // Path halving: every other node on the way points to its grandparent.
  while (hot_[x].parent != x) {
    const uint32_t p = hot_[x].parent;
    hot_[x].parent = hot_[p].parent;
    x = p;
  }
  return x;
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

bool WeightedUnionFind::schedule_node(uint32_t x, uint32_t root) {
  const uint32_t boundary = graph_->boundary();
  const int64_t own = grown(x, root);
  int64_t first = INT64_MAX;
  for (const Adjacent& in : adjacent(x)) {
    int64_t remaining = in.length - own;
    int64_t rate = 1;
    if (in.other != boundary) {
      const uint32_t far = find(in.other);
      if (far == root) continue;
      if (hot_[in.other].touched) remaining -= grown(in.other, far);
      rate += active(far) ? 1 : 0;
    }
    remaining = std::max<int64_t>(remaining, 0);
    first = std::min(first, rate == 1 ? remaining : (remaining + 1) >> 1);
  }
  if (first == INT64_MAX) return false;
  const auto b = static_cast<uint64_t>(now_ + first) & bucket_mask_;
  events_.push_back({x, ++cold_[x].version, bucket_head_[b]});
  bucket_head_[b] = static_cast<uint32_t>(events_.size() - 1);
  bucket_bits_[b >> 6] |= uint64_t{1} << (b & 63);
  return true;
}

void WeightedUnionFind::schedule_frontier(uint32_t& head, uint32_t& tail) {
  uint32_t new_head = kNone, new_tail = kNone;
  for (uint32_t x = head; x != kNone;) {
    const uint32_t next = cold_[x].frontier_next;
    cold_[x].frontier_next = kNone;
    // Edges only ever turn internal, so a node with none leaving never needs a look again.
    if (schedule_node(x, find(x))) {
      if (new_tail == kNone) {
        new_head = x;
      } else {
        cold_[new_tail].frontier_next = x;
      }
      new_tail = x;
    }
    x = next;
  }
  head = new_head;
  tail = new_tail;
}

void WeightedUnionFind::reach_boundary(uint32_t e, uint32_t root) {
  // The cluster stops growing; its pending entries are dropped when they come up.
  settle(root);
  hot_[root].stopped = 1;
  cold_[root].boundary_edge = e;
  forest_.push_back(e);
  touch(graph_->boundary());
}

void WeightedUnionFind::join(uint32_t e, uint32_t u, uint32_t v) {
  touch(v);
  const uint32_t a = find(u), b = find(v);
  const bool a_active = active(a), b_active = active(b);
  settle(a);
  settle(b);
  const auto [root, child] = cold_[a].size >= cold_[b].size ? std::pair(a, b) : std::pair(b, a);
  Cold& r = cold_[root];
  Cold& c = cold_[child];
  // The child's nodes keep how far they have grown under the root's running total.
  const int64_t shift = r.total - c.total;
  for (uint32_t x = c.frontier_head; x != kNone; x = cold_[x].frontier_next) hot_[x].offset += shift;
  hot_[child].parent = root;
  r.size += c.size;
  hot_[root].parity ^= hot_[child].parity;
  if (!hot_[root].stopped && hot_[child].stopped) {
    hot_[root].stopped = 1;
    r.boundary_edge = c.boundary_edge;
  }
  forest_.push_back(e);

  uint32_t a_head = cold_[a].frontier_head, a_tail = cold_[a].frontier_tail;
  uint32_t b_head = cold_[b].frontier_head, b_tail = cold_[b].frontier_tail;
  c.frontier_head = c.frontier_tail = kNone;
  // A part that starts growing has its nodes scheduled; a part that was growing keeps its entries
  // (they come up early or late at worst, and are then rescheduled); a stopped cluster's entries
  // are dropped when they come up.
  if (active(root)) {
    if (!a_active) schedule_frontier(a_head, a_tail);
    if (!b_active) schedule_frontier(b_head, b_tail);
  }
  if (a_head == kNone) {
    r.frontier_head = b_head;
    r.frontier_tail = b_tail;
  } else {
    if (b_head != kNone) cold_[a_tail].frontier_next = b_head;
    r.frontier_head = a_head;
    r.frontier_tail = b_head != kNone ? b_tail : a_tail;
  }
}

void WeightedUnionFind::visit(uint32_t x) {
  const uint32_t boundary = graph_->boundary();
  // Every edge of x that is fully grown now joins or stops its cluster.
  const uint32_t begin = adjacent_start_[x], end = adjacent_start_[x + 1];
  for (uint32_t k = begin; k < end; ++k) {
    const Adjacent& in = adjacent_[k];
    const uint32_t root = find(x);
    if (!active(root)) return;
    const int64_t own = grown(x, root);
    if (in.other == boundary) {
      if (own >= in.length) reach_boundary(edge_at_[k], root);
      continue;
    }
    const uint32_t far = find(in.other);
    if (far == root) continue;
    const int64_t other = hot_[in.other].touched ? grown(in.other, far) : 0;
    if (own + other >= in.length) join(edge_at_[k], x, in.other);
  }
  const uint32_t root = find(x);
  if (active(root)) schedule_node(x, root);
}

void WeightedUnionFind::grow() {
  for (uint32_t x : seeds_) {
    if (x == graph_->boundary() || hot_[x].parent != x || !active(x)) continue;
    schedule_node(x, x);
  }
  buckets_dirty_ = true;
  for (uint32_t b = next_bucket(); b != kNone; b = next_bucket()) {
    // Buckets ahead of now by less than the ring's length hold the times now .. now + length.
    now_ += static_cast<int64_t>((b - (static_cast<uint64_t>(now_) & bucket_mask_)) & bucket_mask_);
    uint32_t i = bucket_head_[b];
    bucket_head_[b] = kNone;
    bucket_bits_[b >> 6] &= ~(uint64_t{1} << (b & 63));
    // Visits may queue more entries in this very bucket; they form a new list.
    while (i != kNone) {
      const Event ev = events_[i];
      i = ev.next;
      if (cold_[ev.node].version == ev.version) visit(ev.node);
    }
  }
  buckets_dirty_ = false;
}

void WeightedUnionFind::peel() {
  const uint32_t boundary = graph_->boundary();
  for (uint32_t e : forest_) {
    const Ends& ends = ends_[e];
    cold_[ends.u].peel_xor ^= e;
    ++cold_[ends.u].peel_degree;
    cold_[ends.v].peel_xor ^= e;
    ++cold_[ends.v].peel_degree;
  }
  for (uint32_t x : touched_nodes_)
    if (x != boundary && cold_[x].peel_degree == 1) leaves_.push_back(x);
  while (!leaves_.empty()) {
    const uint32_t x = leaves_.back();
    leaves_.pop_back();
    Cold& n = cold_[x];
    if (n.peel_degree != 1) continue;
    const uint32_t e = n.peel_xor;
    const uint32_t y = ends_[e].u ^ ends_[e].v ^ x;
    Cold& m = cold_[y];
    n.peel_degree = 0;
    n.peel_xor = 0;
    --m.peel_degree;
    m.peel_xor ^= e;
    if (hot_[x].defect) {
      hot_[x].defect = 0;
      hot_[y].defect ^= 1;
      correction_.push_back(e);
    }
    if (y != boundary && m.peel_degree == 1) leaves_.push_back(y);
  }
}

void WeightedUnionFind::reset() {
  for (uint32_t x : touched_nodes_) {
    hot_[x] = Hot{};
    hot_[x].parent = x;
    cold_[x] = Cold{};
  }
  touched_nodes_.clear();
  seeds_.clear();
  events_.clear();
  forest_.clear();
  leaves_.clear();
  if (buckets_dirty_) {
    std::fill(bucket_head_.begin(), bucket_head_.end(), kNone);
    std::fill(bucket_bits_.begin(), bucket_bits_.end(), 0);
    std::fill(edge_mark_.begin(), edge_mark_.end(), 0);
    buckets_dirty_ = false;
  }
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
  for (uint32_t e : correction_) mask ^= ends_[e].observables;
  if (!g.flipped_edges.empty()) {
    // The correction proper: the flipped edges, minus those the peeling undid.
    buckets_dirty_ = true;  // marks are cleared below, or by the next reset if this throws
    for (uint32_t e : correction_) edge_mark_[e] = 1;
    size_t kept = 0;
    for (uint32_t e : correction_)
      if (!g.edges[e].flipped) correction_[kept++] = e;
    correction_.resize(kept);
    for (uint32_t e : g.flipped_edges)
      if (!edge_mark_[e]) correction_.push_back(e);
    for (uint32_t e : correction_) edge_mark_[e] = 0;
    for (uint32_t e : g.flipped_edges) edge_mark_[e] = 0;
    buckets_dirty_ = false;
  }
  return mask;
}

double WeightedUnionFind::correction_weight() {
  int64_t total = 0;
  for (uint32_t e : correction_) {
    const DecodingEdge& edge = graph_->edges[e];
    total += edge.flipped ? -int64_t{edge.weight} : int64_t{edge.weight};
  }
  return static_cast<double>(total) / kWeightScale;
}

void WeightedUnionFind::set_edge_lengths(uint32_t edge, int32_t length) {
  const DecodingEdge& e = graph_->edges[edge];
  for (const uint32_t x : {e.u, e.v}) {
    if (x == graph_->boundary()) continue;
    for (uint32_t i = adjacent_start_[x]; i < adjacent_start_[x + 1]; ++i)
      if (edge_at_[i] == edge) adjacent_[i].length = length;
  }
}

void WeightedUnionFind::set_edge_weight(uint32_t edge, int32_t weight) {
  // The bucket ring is as long as the graph's longest edge: no override may outgrow it.
  const int32_t longest = static_cast<int32_t>(bucket_mask_);
  set_edge_lengths(edge, std::min(2 * std::clamp<int32_t>(weight, 1, kMaxWeight), longest));
  if (!reweighted_mark_[edge]) {
    reweighted_mark_[edge] = 1;
    reweighted_.push_back(edge);
  }
}

void WeightedUnionFind::restore_edge_weights() {
  for (const uint32_t edge : reweighted_) {
    set_edge_lengths(edge, 2 * graph_->edges[edge].weight);
    reweighted_mark_[edge] = 0;
  }
  reweighted_.clear();
}

}  // namespace ostrel::decode
