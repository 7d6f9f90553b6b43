#include "ostrel/decode/matching/flooder.h"

#include <algorithm>
#include <limits>
#include <type_traits>

#include "ostrel/decode/matching/edge_weights.h"

namespace ostrel::decode::matching {
namespace {

constexpr Time kNever = std::numeric_limits<Time>::max();

}  // namespace

Flooder::Flooder(const DecodingGraph& graph) : boundary_(graph.boundary()) {
  start_.assign(graph.adjacency_start.begin(), graph.adjacency_start.end());
  neighbors_.reserve(graph.adjacency.size());
  edge_of_.reserve(graph.adjacency.size());
  own_length_.reserve(graph.edges.size());
  for (const DecodingEdge& e : graph.edges) own_length_.push_back(2 * fine_weight(e));
  incidence_of_.assign(graph.edges.size(), {kNone, kNone});
  for (const Incidence& in : graph.adjacency) {
    const DecodingEdge& e = graph.edges[in.edge];
    auto& places = incidence_of_[in.edge];
    places[places[0] == kNone ? 0 : 1] = static_cast<uint32_t>(neighbors_.size());
    neighbors_.push_back({in.other, own_length_[in.edge], e.observables});
    edge_of_.push_back(in.edge);
  }
  owner_.assign(graph.detector_count, kNone);
  nodes_.resize(graph.detector_count);
  origins_.resize(graph.detector_count);
}

void Flooder::reset() {
  for (const uint32_t x : touched_) {
    owner_[x] = kNone;
    nodes_[x] = NodeState{};
    origins_[x] = NodeOrigin{};
  }
  touched_.clear();
  std::fill_n(region_alive_.begin(), region_count_, 0);
  region_count_ = 0;
  free_regions_.clear();
  queue_.clear();
  now_ = 0;
  look_again_ = kNone;
}

void Flooder::save(uint32_t top, Carry& out) const { save_region(*this, top, out); }

void Flooder::save_moving(uint32_t top, Carry& out) { save_region(*this, top, out); }

template <typename Self>
void Flooder::save_region(Self& self, uint32_t top, Carry& out) {
  out.boundary = self.boundary_;
  out.region_ids = self.region_count_;
  // Parents before children: the ids list doubles as the walk's queue.
  size_t at = out.ids.size();
  out.ids.push_back(top);
  for (; at < out.ids.size(); ++at) {
    auto& g = self.regions_[out.ids[at]];
    if (out.count == out.regions.size()) out.regions.emplace_back();
    Region& copy = out.regions[out.count++];
    for (const uint32_t x : g.shell) {
      out.nodes.push_back(x);
      out.states.push_back(self.nodes_[x]);
      // The entry's place in the parent's list: a window's graph repeats the last one's lists.
      NodeOrigin& o = out.origins.emplace_back(self.origins_[x]);
      if (o.via < kCarriedVia) o.via = kCarriedVia + (o.via - self.start_[o.parent]);
    }
    for (const BlossomChild& c : g.children) out.ids.push_back(c.region);
    // What restore() reads; frozen from here on.
    copy.base = g.radius(self.now_);
    copy.slope = 0;
    copy.source = g.source;
    copy.blossom_parent = g.blossom_parent;
    copy.match = g.match;
    copy.matched_to_boundary = g.matched_to_boundary;
    copy.match_edge = g.match_edge;
    if constexpr (!std::is_const_v<Self>) {
      copy.children.swap(g.children);
      copy.shell.swap(g.shell);
      g.children.clear();  // what the swap left there is an older carry's
      g.shell.clear();
    } else {
      copy.children.assign(g.children.begin(), g.children.end());
      copy.shell.assign(g.shell.begin(), g.shell.end());
    }
  }
}

void Flooder::restore(Carry& in, uint32_t shift, std::vector<uint32_t>& new_id) {
  // The carried nodes land on lines this decode has not touched: ask for them all at once, so
  // that their misses overlap rather than follow one another in the loops below.
  for (const uint32_t x : in.nodes) {
    __builtin_prefetch(&origins_[x - shift], 1);
    __builtin_prefetch(&nodes_[x - shift], 1);
    __builtin_prefetch(&owner_[x - shift], 1);
  }
  reset();
  if (new_id.size() < in.region_ids) new_id.resize(in.region_ids, kNone);
  for (size_t i = 0; i < in.count; ++i) new_id[in.ids[i]] = new_region();
  // Nodes below the shift are not in this graph, nor is a record that points there.
  auto node = [&](uint32_t x) {
    if (x == kNone || x < shift) return kNone;
    return x == in.boundary ? boundary_ : x - shift;
  };
  auto edge = [&](const CompressedEdge& e) {
    return CompressedEdge{node(e.from), node(e.to), e.observables, node(e.near), node(e.far)};
  };
  auto id = [&](uint32_t r) { return r == kNone ? kNone : new_id[r]; };
  for (size_t i = 0; i < in.count; ++i) {
    Region& from = in.regions[i];
    Region& g = regions_[new_id[in.ids[i]]];
    g.base = from.base;
    g.slope = 0;
    g.source = node(from.source);
    g.blossom_parent = id(from.blossom_parent);
    // The lists change hands (g's emptied ones go to the carry, to be filled next time).
    g.children.swap(from.children);
    for (BlossomChild& c : g.children) c = {new_id[c.region], edge(c.to_next)};
    g.shell.swap(from.shell);
    for (uint32_t& x : g.shell) x -= shift;
    g.matched_to_boundary = from.matched_to_boundary;
    g.match = from.matched_to_boundary ? kNone : id(from.match);
    if (g.matched_to_boundary || g.match != kNone) g.match_edge = edge(from.match_edge);
  }
  for (size_t i = 0; i < in.nodes.size(); ++i) {
    const uint32_t x = in.nodes[i] - shift;
    touch(x);
    owner_[x] = kNone;  // set below, once every carried node is known
    nodes_[x].wrapped = in.states[i].wrapped;
  }
  for (size_t i = 0; i < in.count; ++i)
    for (const uint32_t x : regions_[new_id[in.ids[i]]].shell) owner_[x] = new_id[in.ids[i]];
  for (size_t i = 0; i < in.nodes.size(); ++i) {
    const uint32_t x = in.nodes[i] - shift;
    const NodeOrigin& from = in.origins[i];
    NodeOrigin& o = origins_[x];
    o.source = node(from.source);
    o.own_region = id(from.own_region);
    o.observables = from.observables;
    // The neighbour entries may differ between the graphs: the place in the parent's list is
    // kept, and checked (else the entry looked up) when a path is read through it.
    o.parent = node(from.parent);
    if (o.parent != kNone && !owned(o.parent)) o.parent = kNone;
    o.via = o.parent == kNone ? kNone : from.via;
  }
  for (size_t i = 0; i < in.count; ++i) new_id[in.ids[i]] = kNone;
}

uint32_t Flooder::new_region() {
  uint32_t r;
  if (!free_regions_.empty()) {
    r = free_regions_.back();
    free_regions_.pop_back();
  } else {
    r = region_count_++;
    if (r == regions_.size()) {
      regions_.emplace_back();
      region_alive_.push_back(0);
    }
  }
  Region& g = regions_[r];
  // Cleared member by member so that the vectors keep their capacity.
  g.base = 0;
  g.slope = 0;
  ++g.version;
  g.source = kNone;
  g.blossom_parent = kNone;
  g.children.clear();
  g.shell.clear();
  g.match = kNone;
  g.matched_to_boundary = false;
  g.match_edge = {};
  g.role = TreeRole::kNone;
  g.tree_parent = kNone;
  g.parent_edge = {};
  g.tree_children.clear();
  region_alive_[r] = 1;
  return r;
}

void Flooder::free_region(uint32_t r) {
  region_alive_[r] = 0;
  ++regions_[r].version;
  free_regions_.push_back(r);
}

std::span<const uint32_t> Flooder::live_regions() {
  live_scratch_.clear();
  for (uint32_t r = 0; r < region_count_; ++r)
    if (region_alive_[r]) live_scratch_.push_back(r);
  return live_scratch_;
}

uint32_t Flooder::child_holding(uint32_t blossom, uint32_t event) const {
  uint32_t r = origins_[event].own_region;
  while (regions_[r].blossom_parent != blossom) r = regions_[r].blossom_parent;
  return r;
}

void Flooder::add_detection_event(uint32_t x) {
  touch(x);
  const uint32_t r = new_region();
  Region& g = regions_[r];
  g.source = x;
  g.shell.push_back(x);
  g.role = TreeRole::kOuter;
  g.slope = 1;
  g.base = -now_;
  owner_[x] = r;
  nodes_[x].wrapped = 0;
  origins_[x].own_region = r;
  origins_[x].source = x;
  origins_[x].observables = 0;
  origins_[x].parent = kNone;
  schedule_look(x);
}

Time Flooder::first_contact(uint32_t x, uint32_t top, Time radius, size_t& which) const {
  const int8_t pace = regions_[top].slope;
  Time first = kNever;
  const auto list = neighbors(x);
  for (size_t i = 0; i < list.size(); ++i) {
    const Neighbor& n = list[i];
    Time at;
    if (n.node == boundary_ || owner_[n.node] == kNone) {
      if (pace != 1) continue;
      at = n.length - radius;
    } else {
      if (owner_[n.node] == owner_[x]) continue;
      uint32_t other_top;
      const Time other_radius = local_radius(n.node, other_top);
      if (other_top == top) continue;
      // Only a pair of regions whose radii add up faster than nothing can meet.
      const int rate = pace + regions_[other_top].slope;
      if (rate <= 0) continue;
      const Time gap = n.length - radius - other_radius;
      at = rate == 1 ? gap : gap / 2;
    }
    at = std::max<Time>(at, 0);
    if (at < first) {
      first = at;
      which = i;
    }
  }
  return first == kNever ? kNever : now_ + first;
}

void Flooder::schedule_look(uint32_t x) {
  if (owner_[x] == kNone) return;
  NodeState& n = nodes_[x];
  uint32_t top;
  const Time radius = local_radius(x, top);
  if (regions_[top].slope < 0) return;
  size_t which = 0;
  const Time at = first_contact(x, top, radius, which);
  if (at == kNever) return;
  queue_.push({at, x, ++n.version, QueuedEvent::kNodeLook});
}

void Flooder::schedule_shrink(uint32_t r) {
  const Region& g = regions_[r];
  if (g.slope != -1) return;
  Time at;
  const bool down_to_core = g.is_blossom() ? g.shell.empty() : g.shell.size() <= 1;
  if (down_to_core) {
    at = now_ + g.radius(now_);
  } else {
    uint32_t top;
    at = now_ + local_radius(g.shell.back(), top);
  }
  queue_.push({std::max(at, now_), r, g.version, QueuedEvent::kRegionShrink});
}

void Flooder::set_slope(uint32_t r, int8_t slope, bool look_at_area) {
  Region& g = regions_[r];
  const Time radius = g.radius(now_);
  g.slope = slope;
  g.base = radius - slope * now_;
  ++g.version;
  if (slope == -1) {
    schedule_shrink(r);
  } else if (look_at_area) {
    look_at_area_of(r);
  }
}

void Flooder::look_at_area_of(uint32_t r) {
  {
    // Every node of the region's area may have edges leaving it.
    area_scratch_.clear();
    area_scratch_.push_back(r);
    while (!area_scratch_.empty()) {
      const uint32_t q = area_scratch_.back();
      area_scratch_.pop_back();
      for (const uint32_t x : regions_[q].shell) schedule_look(x);
      for (const BlossomChild& c : regions_[q].children) area_scratch_.push_back(c.region);
    }
  }
}

void Flooder::dissolve(uint32_t r, std::vector<uint32_t>& events) {
  area_scratch_.clear();
  area_scratch_.push_back(r);
  while (!area_scratch_.empty()) {
    const uint32_t q = area_scratch_.back();
    area_scratch_.pop_back();
    Region& g = regions_[q];
    for (const uint32_t x : g.shell) owner_[x] = kNone;
    if (g.source != kNone) events.push_back(g.source);
    for (const BlossomChild& c : g.children) area_scratch_.push_back(c.region);
    free_region(q);
  }
}

void Flooder::release(uint32_t x) {
  owner_[x] = kNone;
  // Growing neighbours may now claim it, sooner than they were queued for.
  for (const Neighbor& n : neighbors(x))
    if (n.node != boundary_ && owner_[n.node] != kNone) schedule_look(n.node);
}

bool Flooder::claim_or_report(uint32_t x, MatcherEvent& out) {
  if (owner_[x] == kNone) return false;
  NodeState& n = nodes_[x];
  uint32_t top;
  const Time radius = local_radius(x, top);
  const int8_t pace = regions_[top].slope;
  if (pace < 0) return false;
  // Every edge covered by now is handled here: free nodes are claimed on the way, the first
  // event for the matcher ends the look (the node is looked at again after it).
  Time first = kNever;
  const auto list = neighbors(x);
  for (size_t i = 0; i < list.size(); ++i) {
    const Neighbor& far = list[i];
    const bool free = far.node == boundary_ || owner_[far.node] == kNone;
    Time at;
    uint32_t other_top = kNone;
    if (free) {
      if (pace != 1) continue;
      at = now_ + far.length - radius;
    } else {
      if (owner_[far.node] == owner_[x]) continue;
      const Time other_radius = local_radius(far.node, other_top);
      if (other_top == top) continue;
      const int rate = pace + regions_[other_top].slope;
      if (rate <= 0) continue;
      const Time gap = far.length - radius - other_radius;
      at = now_ + (rate == 1 ? gap : gap / 2);
    }
    if (at > now_) {
      first = std::min(first, at);
      continue;
    }
    const NodeOrigin& from = origins_[x];
    if (far.node == boundary_) {
      out = {MatcherEvent::kRegionHitBoundary, top, kNone,
             {from.source, boundary_, from.observables ^ far.observables, x, boundary_}};
      look_again_ = x;
      return true;
    }
    NodeOrigin& to = origins_[far.node];
    if (free) {
      touch(far.node);
      Region& g = regions_[top];
      g.shell.push_back(far.node);
      owner_[far.node] = top;
      nodes_[far.node].wrapped = -g.radius(now_);
      to.source = from.source;
      to.observables = from.observables ^ far.observables;
      to.parent = x;
      to.via = static_cast<uint32_t>(start_[x] + i);
      schedule_look(far.node);
      continue;
    }
    const CompressedEdge edge{from.source, to.source, from.observables ^ far.observables ^ to.observables, x,
                              far.node};
    // The growing one of the two hits the other.
    if (pace == 1) {
      out = {MatcherEvent::kRegionHitRegion, top, other_top, edge};
    } else {
      out = {MatcherEvent::kRegionHitRegion, other_top, top, edge.reversed()};
    }
    look_again_ = x;
    return true;
  }
  if (first != kNever) queue_.push({first, x, ++n.version, QueuedEvent::kNodeLook});
  return false;
}

bool Flooder::shrink_step(uint32_t r, MatcherEvent& out) {
  Region& g = regions_[r];
  if (g.slope != -1) return false;
  const bool down_to_core = g.is_blossom() ? g.shell.empty() : g.shell.size() <= 1;
  if (down_to_core) {
    if (g.radius(now_) > 0) {
      schedule_shrink(r);
      return false;
    }
    out = {MatcherEvent::kRegionShrunk, r, kNone, {}};
    return true;
  }
  const uint32_t x = g.shell.back();
  uint32_t top;
  if (local_radius(x, top) > 0) {
    schedule_shrink(r);
    return false;
  }
  g.shell.pop_back();
  release(x);
  schedule_shrink(r);
  return false;
}

Time Flooder::append_grown_path(const CompressedEdge& edge, std::vector<uint32_t>& edges) const {
  const uint32_t x = edge.near, y = edge.far;
  if (x == kNone || !owned(x) || origins_[x].source != edge.from) return -1;
  const bool to_boundary = y == boundary_;
  if (!to_boundary && (!owned(y) || origins_[y].source != edge.to)) return -1;
  const uint32_t across = entry_between(x, y);
  if (across == kNone) return -1;
  // The claims' observables tell whether this is still the path that was found.
  const uint64_t crossed =
      origins_[x].observables ^ neighbors_[across].observables ^ (to_boundary ? 0 : origins_[y].observables);
  if (crossed != edge.observables) return -1;
  Time length = neighbors_[across].length;
  const size_t before = edges.size();
  edges.push_back(edge_of_[across]);
  for (const uint32_t end : {x, y}) {
    if (end == boundary_) continue;
    uint32_t z = end;
    for (; origins_[z].parent != kNone; z = origins_[z].parent) {
      uint32_t via = origins_[z].via;
      if (via >= kCarriedVia) {  // carried (or kNone): the same place in the parent's list, if it leads here
        const uint32_t p = origins_[z].parent;
        const uint32_t at = via == kNone ? kNone : start_[p] + (via - kCarriedVia);
        via = at < start_[p + 1] && neighbors_[at].node == z ? at : entry_between(p, z);
        if (via == kNone) break;  // no such edge here
      }
      edges.push_back(edge_of_[via]);
      length += neighbors_[via].length;
    }
    // A record cut where a carried region's claims left its graph ends short of the source.
    if (z != origins_[end].source) {
      edges.resize(before);
      return -1;
    }
  }
  return length;
}

bool Flooder::next_event(MatcherEvent& out) {
  if (look_again_ != kNone) {
    const uint32_t x = look_again_;
    look_again_ = kNone;
    schedule_look(x);
  }
  while (!queue_.empty()) {
    const QueuedEvent e = queue_.pop();
    if (e.kind == QueuedEvent::kNodeLook) {
      if (nodes_[e.index].version != e.version) continue;
      now_ = std::max(now_, e.time);
      if (claim_or_report(e.index, out)) return true;
    } else {
      if (!region_alive_[e.index] || regions_[e.index].version != e.version) continue;
      now_ = std::max(now_, e.time);
      if (shrink_step(e.index, out)) return true;
    }
  }
  out.kind = MatcherEvent::kNone;
  return false;
}

}  // namespace ostrel::decode::matching
