#include "ostrel/decode/matching/alternating_trees.h"

#include <algorithm>

namespace ostrel::decode::matching {

void AlternatingTrees::handle(const MatcherEvent& event) {
  switch (event.kind) {
    case MatcherEvent::kNone:
      return;
    case MatcherEvent::kRegionHitRegion:
      hit_region(event.region, event.other, event.edge);
      return;
    case MatcherEvent::kRegionHitBoundary: {
      const uint32_t root = root_of(event.region);
      augment(event.region, kNone, true, event.edge);
      dissolve(root);
      return;
    }
    case MatcherEvent::kRegionShrunk: {
      const uint32_t r = event.region;
      if (f_.region(r).is_blossom()) {
        shatter(r);
        return;
      }
      // An inner event region of radius zero: its parent and its child touch through its event.
      const Region& inner = f_.region(r);
      const uint32_t parent = inner.tree_parent;
      const uint32_t child = inner.tree_children.front();
      const CompressedEdge through{inner.match_edge.to, inner.parent_edge.to,
                                   inner.match_edge.observables ^ inner.parent_edge.observables};
      form_blossom(child, parent, through);
      return;
    }
  }
}

void AlternatingTrees::reopen(uint32_t r) {
  Region& g = f_.region(r);
  g.match = kNone;
  g.matched_to_boundary = false;
  g.match_edge = {};
  g.role = TreeRole::kOuter;
  f_.set_slope(r, 1);
}

uint32_t AlternatingTrees::root_of(uint32_t r) const {
  while (f_.region(r).tree_parent != kNone) r = f_.region(r).tree_parent;
  return r;
}

void AlternatingTrees::hit_region(uint32_t a, uint32_t b, const CompressedEdge& edge) {
  Region& rb = f_.region(b);
  if (rb.role == TreeRole::kOuter) {
    const uint32_t root_a = root_of(a), root_b = root_of(b);
    if (root_a == root_b) {
      form_blossom(a, b, edge);
      return;
    }
    augment(a, b, false, edge);
    augment(b, a, false, edge.reversed());
    dissolve(root_a);
    dissolve(root_b);
    return;
  }
  if (rb.role == TreeRole::kInner) return;  // never scheduled: their sum of radii cannot grow
  if (rb.matched_to_boundary) {
    const uint32_t root = root_of(a);
    augment(a, b, false, edge);
    match(f_.region(b), a, edge.reversed());
    dissolve(root);
    return;
  }
  if (rb.match == kNone) return;  // every unmatched region roots a tree
  // A matched pair joins the tree: b inner below a, its partner outer below b.
  const uint32_t c = rb.match;
  rb.role = TreeRole::kInner;
  rb.tree_parent = a;
  rb.parent_edge = edge.reversed();
  rb.tree_children.assign(1, c);
  Region& rc = f_.region(c);
  rc.role = TreeRole::kOuter;
  rc.tree_parent = b;
  rc.parent_edge = rb.match_edge.reversed();
  f_.region(a).tree_children.push_back(b);
  f_.set_slope(b, -1);
  f_.set_slope(c, 1);
}

void AlternatingTrees::augment(uint32_t a, uint32_t partner, bool to_boundary, const CompressedEdge& edge) {
  uint32_t cur = a;
  Region* rc = &f_.region(cur);
  rc->match = partner;
  rc->matched_to_boundary = to_boundary;
  rc->match_edge = edge;
  while (rc->tree_parent != kNone) {
    const uint32_t inner = rc->tree_parent;
    Region& ri = f_.region(inner);
    const uint32_t up = ri.tree_parent;
    match(ri, up, ri.parent_edge);
    cur = up;
    rc = &f_.region(cur);
    match(*rc, inner, ri.parent_edge.reversed());
  }
}

void AlternatingTrees::dissolve(uint32_t root) {
  stack_.clear();
  stack_.push_back(root);
  while (!stack_.empty()) {
    const uint32_t r = stack_.back();
    stack_.pop_back();
    Region& g = f_.region(r);
    for (const uint32_t c : g.tree_children) stack_.push_back(c);
    // Growing neighbours are queued for this region already, and a frozen region comes no
    // sooner: only a region that stops shrinking needs its nodes looked at.
    const bool was_inner = g.role == TreeRole::kInner;
    g.tree_children.clear();
    g.role = TreeRole::kNone;
    g.tree_parent = kNone;
    g.parent_edge = {};
    f_.set_slope(r, 0, was_inner);
  }
}

void AlternatingTrees::form_blossom(uint32_t a, uint32_t b, const CompressedEdge& edge) {
  // The paths up from a and from b meet at their lowest common ancestor.
  ++stamp_;
  path_a_.clear();
  for (uint32_t r = a; r != kNone; r = f_.region(r).tree_parent) {
    path_a_.push_back(r);
    mark(r);
  }
  path_b_.clear();
  uint32_t lca = b;
  while (!marked(lca)) {
    path_b_.push_back(lca);
    lca = f_.region(lca).tree_parent;
  }
  path_a_.resize(static_cast<size_t>(std::find(path_a_.begin(), path_a_.end(), lca) - path_a_.begin()) + 1);

  // The cycle: down from the ancestor to a, across to b, up again.
  cycle_.clear();
  for (size_t i = path_a_.size() - 1; i > 0; --i)
    cycle_.push_back({path_a_[i], f_.region(path_a_[i - 1]).parent_edge.reversed()});
  cycle_.push_back({a, edge});
  for (const uint32_t r : path_b_) cycle_.push_back({r, f_.region(r).parent_edge});

  const uint32_t blossom = f_.new_region();  // may move regions: take references after it
  ++stamp_;
  for (const BlossomChild& c : cycle_) mark(c.region);
  Region& top = f_.region(lca);
  Region& bl = f_.region(blossom);
  bl.role = TreeRole::kOuter;
  bl.tree_parent = top.tree_parent;
  bl.parent_edge = top.parent_edge;
  bl.match = top.match;
  bl.matched_to_boundary = top.matched_to_boundary;
  bl.match_edge = top.match_edge;
  if (bl.tree_parent != kNone) {
    Region& parent = f_.region(bl.tree_parent);
    std::replace(parent.tree_children.begin(), parent.tree_children.end(), lca, blossom);
    parent.match = blossom;
  }
  for (const BlossomChild& c : cycle_) {
    Region& child = f_.region(c.region);
    for (const uint32_t t : child.tree_children) {
      if (marked(t)) continue;
      f_.region(t).tree_parent = blossom;
      bl.tree_children.push_back(t);
    }
  }
  bl.children = cycle_;
  stack_.clear();  // the children that were inner: they start growing
  for (const BlossomChild& c : cycle_) {
    Region& child = f_.region(c.region);
    if (child.role == TreeRole::kInner) stack_.push_back(c.region);
    child.blossom_parent = blossom;
    child.role = TreeRole::kNone;
    child.tree_parent = kNone;
    child.parent_edge = {};
    child.tree_children.clear();
    child.match = kNone;
    child.matched_to_boundary = false;
    f_.set_slope(c.region, 0, false);
  }
  // Outer children's nodes are queued already and grow on with the blossom.
  f_.set_slope(blossom, 1, false);
  for (const uint32_t r : stack_) f_.look_at_area_of(r);
}

void AlternatingTrees::shatter(uint32_t blossom) {
  Region& bl = f_.region(blossom);
  const uint32_t parent = bl.tree_parent;
  const CompressedEdge to_parent = bl.parent_edge;
  const uint32_t child = bl.tree_children.front();
  const CompressedEdge to_child = bl.match_edge;
  const uint32_t at_parent = f_.child_holding(blossom, to_parent.from);
  const uint32_t at_child = f_.child_holding(blossom, to_child.from);
  cycle_ = bl.children;
  const size_t k = cycle_.size();
  size_t ip = 0, ic = 0;
  for (size_t i = 0; i < k; ++i) {
    if (cycle_[i].region == at_parent) ip = i;
    if (cycle_[i].region == at_child) ic = i;
  }
  const size_t forward = (ic + k - ip) % k;
  const bool go_forward = forward % 2 == 0;
  const size_t length = go_forward ? forward : k - forward;
  auto at = [&](size_t j, bool fwd) { return fwd ? (ip + j) % k : (ip + k - j % k) % k; };
  // The edge from the j-th to the (j + 1)-th region of a walk from ip in direction fwd.
  auto step = [&](size_t j, bool fwd) {
    return fwd ? cycle_[at(j, true)].to_next : cycle_[at(j + 1, false)].to_next.reversed();
  };

  for (const BlossomChild& c : cycle_) f_.region(c.region).blossom_parent = kNone;
  Region& up = f_.region(parent);
  std::replace(up.tree_children.begin(), up.tree_children.end(), blossom, at_parent);

  // The even path joins the tree, inner and outer by turns, each inner matched to its child.
  for (size_t j = 0; j <= length; ++j) {
    const uint32_t r = cycle_[at(j, go_forward)].region;
    Region& g = f_.region(r);
    g.role = j % 2 == 0 ? TreeRole::kInner : TreeRole::kOuter;
    g.tree_children.clear();
    if (j == 0) {
      g.tree_parent = parent;
      g.parent_edge = to_parent;
    } else {
      const uint32_t above = cycle_[at(j - 1, go_forward)].region;
      const CompressedEdge down = step(j - 1, go_forward);
      g.tree_parent = above;
      g.parent_edge = down.reversed();
      Region& ga = f_.region(above);
      ga.tree_children.assign(1, r);
      if (j % 2 == 1) {
        match(ga, r, down);
        match(g, above, down.reversed());
      }
    }
  }
  Region& last = f_.region(at_child);
  last.tree_children.assign(1, child);
  match(last, child, to_child);
  Region& below = f_.region(child);
  below.tree_parent = at_child;
  below.match = at_child;
  // The rest of the cycle, an even number of regions, pairs off along its edges.
  for (size_t j = length + 1; j + 1 < k; j += 2) {
    const uint32_t r = cycle_[at(j, go_forward)].region;
    const uint32_t s = cycle_[at(j + 1, go_forward)].region;
    const CompressedEdge e = step(j, go_forward);
    match(f_.region(r), s, e);
    match(f_.region(s), r, e.reversed());
  }
  f_.free_region(blossom);
  for (size_t j = 0; j <= length; ++j) f_.set_slope(cycle_[at(j, go_forward)].region, j % 2 == 0 ? -1 : 1);
  // The pairs were shrinking with the blossom; frozen now, growing neighbours may reach them.
  for (size_t j = length + 1; j < k; ++j) f_.set_slope(cycle_[at(j, go_forward)].region, 0);
}

}  // namespace ostrel::decode::matching
