#include "ostrel/decode/matching/matching_decoder.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <queue>
#include <utility>

namespace ostrel::decode::matching {

MatchingDecoder::MatchingDecoder(std::shared_ptr<const DecodingGraph> graph)
    : graph_(std::move(graph)),
      flooder_(*graph_),
      trees_(flooder_),
      paths_(flooder_, graph_->detector_count),
      parity_(graph_->detector_count, 0),
      edge_parity_(graph_->edges.size(), 0),
      edge_change_(graph_->edges.size()) {
  for (const uint32_t e : graph_->flipped_edges) flipped_weight_ += fine_weight(graph_->edges[e]);
}

uint64_t MatchingDecoder::decode(std::span<const uint32_t> fired_detectors) {
  const DecodingGraph& g = *graph_;
  flooder_.reset();
  correction_ready_ = false;
  forget_changes();
  raised_ = false;
  dissolved_ = 0;
  carried_ = 0;
  // The events: fired detectors, and the ends of the edges taken as occurred; twice is none.
  auto toggle = [&](uint32_t d) {
    if (d >= g.detector_count) return;
    if (!parity_[d]) toggled_.push_back(d);
    parity_[d] ^= 1;
  };
  for (const uint32_t d : fired_detectors) toggle(d);
  for (const uint32_t e : g.flipped_edges) {
    toggle(g.edges[e].u);
    toggle(g.edges[e].v);
  }
  for (const uint32_t d : toggled_) {
    if (parity_[d]) flooder_.add_detection_event(d);
    parity_[d] = 0;
  }
  toggled_.clear();
  grow();
  warm_ = true;
  return read_out() ^ g.flipped_observables;
}

void MatchingDecoder::forget_changes() {
  for (const uint32_t e : changed_) edge_change_[e].changed = 0;
  changed_.clear();
}

uint64_t MatchingDecoder::decode_again(std::span<const uint32_t> fired_detectors) {
  if (!warm_ || raised_) return decode(fired_detectors);
  // A lowered edge that growth covers no further than its new length leaves the regions' radii a
  // feasible dual solution; one covered further does not, and the regions on both its ends go.
  // A raised edge keeps the radii feasible, but growth that reached across it (or a match that
  // met on it) measured it at its old length: the regions on both its ends go then too.
  dirty_.clear();
  auto dirty = [&](uint32_t top) {
    if (top == kNone) return;
    if (top >= dirty_mark_.size()) dirty_mark_.resize(top + 1, 0);
    if (dirty_mark_[top]) return;
    dirty_mark_[top] = 1;
    dirty_.push_back(top);
  };
  for (const uint32_t e : changed_) {
    const int32_t now = flooder_.length(e), before = edge_change_[e].length_at_decode;
    if (now == before) continue;
    const DecodingEdge& edge = graph_->edges[e];
    Time covered = 0;
    for (const uint32_t end : {edge.u, edge.v})
      if (flooder_.owned(end)) covered += std::max<Time>(0, flooder_.reach_past(end));
    if (now < before ? covered <= now : covered < before) continue;
    dirty(flooder_.top_owner(edge.u));
    dirty(flooder_.top_owner(edge.v));
  }
  forget_changes();
  carried_ = 0;
  if (dirty_.empty()) {
    // Every region stands: the matching, its weight and its paths are the last decode's (no edge
    // of a matched path fell, or it would be covered past its length).
    dissolved_ = 0;
    return mask_ ^ graph_->flipped_observables;
  }
  correction_ready_ = false;
  regrow_.clear();
  // Time restarts at zero, where new regions start from nothing. Two growing regions meet on a whole
  // unit of time only when their radii have the parity of the time: a partner whose radius has the
  // other parity is dissolved too (its own partner is).
  flooder_.restart_clock();
  for (size_t i = 0; i < dirty_.size(); ++i) {
    const Region& g = flooder_.region(dirty_[i]);
    if (g.match == kNone || (g.match < dirty_mark_.size() && dirty_mark_[g.match])) continue;
    if (flooder_.reach_past(g.match_edge.to) % 2 == 0) {
      regrow_.push_back(g.match);
    } else {
      dirty(g.match);
    }
  }
  dissolved_ = static_cast<uint32_t>(dirty_.size());
  std::vector<uint32_t>& events = toggled_;  // free between decodes
  events.clear();
  for (const uint32_t r : dirty_) {
    flooder_.dissolve(r, events);
    dirty_mark_[r] = 0;
  }
  for (const uint32_t r : regrow_) trees_.reopen(r);
  for (const uint32_t x : events) flooder_.add_detection_event(x);
  events.clear();
  grow();
  return read_out() ^ graph_->flipped_observables;
}

uint64_t MatchingDecoder::decode_after(MatchingDecoder& last, uint32_t shift, uint32_t stable_end,
                                       std::span<const uint32_t> flipped, std::span<const uint32_t> fired_detectors) {
  if (!last.warm_ || !last.reweighted_.empty() || !last.changed_.empty() || last.raised_ || !reweighted_.empty() ||
      !changed_.empty() || raised_ || !graph_->flipped_edges.empty() || !last.graph_->flipped_edges.empty())
    return decode(fired_detectors);
  Flooder& from = last.flooder_;
  // Which of the last decode's top-level regions stay behind: those holding a toggled event, one
  // reaching a node below the shift (gone here), one unmatched. Past stable_end a node's edges
  // here may differ from those it had, but never shorter than the boundary edge it had (that edge
  // merged the ones now split off), so growth stays feasible; only a match across such a boundary
  // edge is lost. A region whose partner (or boundary match) is lost grows again, unless its radius
  // lacks the parity of growth restarting from zero (see decode_again): then it stays behind too.
  std::vector<uint8_t>& behind = left_behind_;
  if (behind.size() < from.region_ids()) behind.resize(from.region_ids(), 0);
  const std::span<const uint32_t> live = from.live_regions();
  for (const uint32_t x : flipped)
    if (x < from.boundary() && from.owned(x)) behind[from.top_owner(x)] = 1;
  std::vector<uint32_t>& walk = carry_ids_;
  for (const uint32_t r : live) {
    const Region& g = from.region(r);
    if (g.blossom_parent != kNone || behind[r]) continue;
    bool inside = g.matched();
    if (!g.is_blossom()) {  // most regions: no walk
      for (const uint32_t x : g.shell) inside &= x >= shift;
      behind[r] = !inside;
      continue;
    }
    walk.assign(1, r);
    while (inside && !walk.empty()) {
      const Region& q = from.region(walk.back());
      walk.pop_back();
      for (const uint32_t x : q.shell) inside &= x >= shift;
      for (const BlossomChild& c : q.children) walk.push_back(c.region);
    }
    behind[r] = !inside;
  }
  auto lost_match = [&](const Region& g) {
    return g.matched_to_boundary ? g.match_edge.near == kNone || g.match_edge.near >= stable_end : behind[g.match] != 0;
  };
  for (const uint32_t r : live) {
    const Region& g = from.region(r);
    if (g.blossom_parent != kNone || behind[r] || !lost_match(g)) continue;
    if (from.reach_past(g.match_edge.from) % 2 != 0) behind[r] = 1;
  }
  carry_.clear();
  for (const uint32_t r : live) {
    const Region& g = from.region(r);
    if (g.blossom_parent != kNone || behind[r]) continue;
    const size_t at = carry_.count;
    const bool regrow = g.matched_to_boundary && lost_match(g);
    from.save_moving(r, carry_);  // the last decode is left without these lists: see below
    if (regrow) carry_.regions[at].matched_to_boundary = false;  // restored unmatched: reopened below
  }
  for (const uint32_t r : live) behind[r] = 0;
  // The regions' lists went into the carry: the last decode's matching and paths still read out,
  // but its growth cannot go on (decode_again starts afresh; restore() below wipes it if it is this).
  last.warm_ = false;
  uint32_t sources = 0;
  for (size_t i = 0; i < carry_.count; ++i) sources += carry_.regions[i].source != kNone;

  flooder_.restore(carry_, shift, restore_ids_);
  correction_ready_ = false;
  forget_changes();
  raised_ = false;
  dissolved_ = 0;
  carried_ = static_cast<uint32_t>(carry_.count);
  // Every carried event must be fired still, and no other fired detector claimed.
  const DecodingGraph& graph = *graph_;
  uint32_t seen = 0;
  for (const uint32_t d : fired_detectors) {
    if (d >= graph.detector_count || !flooder_.owned(d)) continue;
    if (flooder_.origin(d).source != d || flooder_.region(flooder_.origin(d).own_region).source != d)
      return decode(fired_detectors);
    ++seen;
  }
  if (seen != sources) return decode(fired_detectors);
  for (uint32_t r = 0; r < carried_; ++r)
    if (flooder_.region(r).blossom_parent == kNone && !flooder_.region(r).matched()) trees_.reopen(r);
  for (const uint32_t d : fired_detectors)
    if (d < graph.detector_count && !flooder_.owned(d)) flooder_.add_detection_event(d);
  grow();
  warm_ = true;
  return read_out();
}

void MatchingDecoder::grow() {
  for (MatcherEvent e; flooder_.next_event(e);) trees_.handle(e);
}

uint64_t MatchingDecoder::read_out() {
  matched_.clear();
  matched_within_.clear();
  open_.clear();
  uint64_t mask = 0;
  Time radii = 0;
  auto take = [&](const CompressedEdge& e, uint32_t within) {
    matched_.push_back(e);
    matched_within_.push_back(within);
    mask ^= e.observables;
  };
  for (const uint32_t r : flooder_.live_regions()) {
    const Region& g = flooder_.region(r);
    radii += g.radius(flooder_.now());
    if (g.blossom_parent != kNone) continue;
    if (g.matched_to_boundary) {
      take(g.match_edge, kNone);
      open_.push_back({r, g.match_edge.from});
    } else if (g.match != kNone && r < g.match) {
      take(g.match_edge, kNone);
      open_.push_back({r, g.match_edge.from});
      open_.push_back({g.match, g.match_edge.to});
    }
  }
  // Inside a blossom matched at an event of child c, c keeps that match and the other children
  // pair off around the cycle after it.
  while (!open_.empty()) {
    const auto [r, event] = open_.back();
    open_.pop_back();
    const Region& g = flooder_.region(r);
    if (!g.is_blossom()) continue;
    const uint32_t held = flooder_.child_holding(r, event);
    const size_t k = g.children.size();
    size_t i = 0;
    while (g.children[i].region != held) ++i;
    open_.push_back({held, event});
    for (size_t j = 1; j < k; j += 2) {
      const BlossomChild& c = g.children[(i + j) % k];
      take(c.to_next, r);
      open_.push_back({c.region, c.to_next.from});
      open_.push_back({g.children[(i + j + 1) % k].region, c.to_next.to});
    }
  }
  // Every path crosses the rim of each region that holds one of its ends and not the other, and
  // each region is crossed by exactly one: the matching's length is the sum of the radii.
  radii_ = radii;
  weight_ = radii / 2 - flipped_weight_;
  mask_ = mask;
  return mask;
}

Time MatchingDecoder::radii_around(uint32_t event, uint32_t within) const {
  Time radii = 0;
  for (uint32_t r = flooder_.origin(event).own_region; r != within; r = flooder_.region(r).blossom_parent)
    radii += flooder_.region(r).radius(flooder_.now());
  return radii;
}

void MatchingDecoder::measure_distances(uint32_t below) {
  // Dijkstra from every node below `below` at once, then from every node at or past it, never
  // through the boundary node; once per graph and `below` (a window's commit region is the same
  // every time).
  const uint32_t n = graph_->detector_count;
  using Entry = std::pair<Time, uint32_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
  distance_.assign(n, Distances{std::numeric_limits<Time>::max(), std::numeric_limits<Time>::max()});
  auto measure = [&](Time Distances::*field, uint32_t first, uint32_t end) {
    for (uint32_t x = first; x < end; ++x) {
      distance_[x].*field = 0;
      heap.push({0, x});
    }
    while (!heap.empty()) {
      const auto [d, x] = heap.top();
      heap.pop();
      if (d != distance_[x].*field) continue;
      const auto edges = flooder_.neighbor_edges(x);
      const auto list = flooder_.neighbors(x);
      for (size_t i = 0; i < list.size(); ++i) {
        const uint32_t y = list[i].node;
        if (y >= n) continue;
        const Time to = d + flooder_.own_length(edges[i]);
        if (to < distance_[y].*field) {
          distance_[y].*field = to;
          heap.push({to, y});
        }
      }
    }
  };
  measure(&Distances::below, 0, std::min(below, n));
  measure(&Distances::past, std::min(below, n), n);
  distance_below_ = below;
}

std::span<const uint32_t> MatchingDecoder::correction_reaching(uint32_t below, uint64_t* inside) {
  // Leaving paths out needs the graph's own lengths and no edges taken as occurred.
  if (below >= graph_->detector_count || !changed_.empty() || !reweighted_.empty() || !graph_->flipped_edges.empty())
    below = kNone;
  const bool split = inside != nullptr && below != kNone;
  if (inside != nullptr) *inside = 0;
  if (correction_ready_ && correction_below_ == below && correction_inside_ == split) {
    if (split) *inside = inside_;
    return correction_;
  }
  correction_.clear();
  inside_ = 0;
  if (below != kNone && distance_below_ != below) measure_distances(below);
  // Each path as growth found it, where its records still hold it, else searched for. A matched
  // path is tight: its length is the radii of the regions holding one of its ends and not the
  // other. The lengths add up to those radii exactly when every path is a shortest one; if not,
  // all are searched for. A path is left out when its ends are further from the nodes below
  // `below` (together) than it is long: no shortest path between them reaches there.
  searched_paths_ = 0;
  Time length = 0, tight = 0;
  kept_.clear();
  for (size_t i = 0; i < matched_.size(); ++i) {
    const CompressedEdge& e = matched_[i];
    if (below != kNone) {
      const bool to_boundary = e.to >= graph_->detector_count;
      const Time radii =
          radii_around(e.from, matched_within_[i]) + (to_boundary ? 0 : radii_around(e.to, matched_within_[i]));
      const Time near = distance_[e.from].below, far = to_boundary ? 0 : distance_[e.to].below;  // max(): never reached
      if (near > radii || far > radii - near) continue;
      if (split) {
        // Every node of a path this long lies below `below` when its ends are, together, further
        // from the nodes past it than the path is long.
        const Time past = distance_[e.from].past;
        if (past > radii || (!to_boundary && distance_[e.to].past > radii - past)) {
          inside_ ^= e.observables;
          continue;
        }
      }
      tight += radii;
    }
    kept_.push_back(static_cast<uint32_t>(i));
    Time l = flooder_.append_grown_path(e, correction_);
    if (l < 0) {
      l = paths_.append_path(e.from, e.to, correction_);
      ++searched_paths_;
    }
    length += l;
  }
  if (length != (below == kNone ? radii_ : tight)) {
    correction_.clear();
    for (const uint32_t i : kept_) paths_.append_path(matched_[i].from, matched_[i].to, correction_);
    searched_paths_ = static_cast<uint32_t>(kept_.size());
  }
  // An edge on two paths cancels; the edges taken as occurred join the correction unless a path
  // undoes them.
  for (const uint32_t e : graph_->flipped_edges) correction_.push_back(e);
  // Odd multiplicity by a parity per edge rather than a sort: the cost follows the correction.
  for (const uint32_t e : correction_) edge_parity_[e] ^= 1;
  size_t kept = 0;
  for (const uint32_t e : correction_)
    if (edge_parity_[e]) {
      edge_parity_[e] = 0;
      correction_[kept++] = e;
    }
  correction_.resize(kept);
  correction_ready_ = true;
  correction_below_ = below;
  correction_inside_ = split;
  if (split) *inside = inside_;
  return correction_;
}

void MatchingDecoder::set_edge_weight(uint32_t edge, int32_t weight) {
  set_length(edge, 2 * std::clamp<int32_t>(weight * kFinePerGraphUnit, 1, kMaxFineWeight));
  EdgeChange& c = edge_change_[edge];
  if (!c.reweighted) {
    c.reweighted = 1;
    reweighted_.push_back(edge);
  }
}

void MatchingDecoder::restore_edge_weights() {
  for (const uint32_t edge : reweighted_) {
    EdgeChange& c = edge_change_[edge];
    c.reweighted = 0;
    const int32_t own = flooder_.own_length(edge);
    // An edge raised since the decode sends decode_again to a fresh decode whatever else changed:
    // one flag says so, without a record per edge (correlated decoding restores hundreds a shot).
    if (!c.changed) {
      const int32_t now = flooder_.length(edge);
      if (now < own) {
        raised_ = true;
      } else if (now > own) {
        c.changed = 1;
        c.length_at_decode = now;
        changed_.push_back(edge);
      }
    }
    flooder_.set_edge_length(edge, own);
  }
  reweighted_.clear();
}

}  // namespace ostrel::decode::matching
