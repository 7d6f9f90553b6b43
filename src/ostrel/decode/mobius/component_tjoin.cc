#include "ostrel/decode/mobius/component_tjoin.h"

#include <algorithm>
#include <bit>
#include <numeric>

#include "ostrel/decode/matching/edge_weights.h"

namespace ostrel::decode::mobius {
namespace {

constexpr uint32_t kNone = UINT32_MAX;

}  // namespace

ComponentTJoin::ComponentTJoin(std::shared_ptr<const DecodingGraph> graph) : graph_(std::move(graph)) {
  const DecodingGraph& g = *graph_;
  const uint32_t n = g.detector_count;
  std::vector<uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  auto root = [&](uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  adjacency_start_.assign(n + 1, 0);
  for (const DecodingEdge& e : g.edges) {
    ++adjacency_start_[e.u + 1];
    if (e.v < n) {
      ++adjacency_start_[e.v + 1];
      parent[root(e.u)] = root(e.v);
    }
  }
  for (uint32_t x = 0; x < n; ++x) adjacency_start_[x + 1] += adjacency_start_[x];
  adjacency_.resize(adjacency_start_[n]);
  std::vector<uint32_t> next(adjacency_start_.begin(), adjacency_start_.end() - 1);
  for (uint32_t e = 0; e < g.edges.size(); ++e) {
    adjacency_[next[g.edges[e].u]++] = e;
    if (g.edges[e].v < n) adjacency_[next[g.edges[e].v]++] = e;
  }
  component_of_.assign(n, kNone);
  local_.assign(n, 0);
  std::vector<uint32_t> index_of_root(n, kNone);
  for (uint32_t x = 0; x < n; ++x) {
    const uint32_t r = root(x);
    if (index_of_root[r] == kNone) {
      index_of_root[r] = static_cast<uint32_t>(components_.size());
      components_.emplace_back();
    }
    component_of_[x] = index_of_root[r];
    ++components_[component_of_[x]].size;
  }
  uint32_t at = 0;
  for (Component& c : components_) {
    c.first = at;
    at += c.size;
    c.size = 0;
  }
  nodes_.resize(n);
  for (uint32_t x = 0; x < n; ++x) {
    Component& c = components_[component_of_[x]];
    local_[x] = c.size;
    nodes_[c.first + c.size++] = x;
  }
  for (Component& c : components_)
    if (c.size <= kMaxNodes) prepare(c);
  targets_of_.resize(components_.size());
  edge_parity_.assign(g.edges.size(), 0);
}

void ComponentTJoin::prepare(Component& c) {
  const DecodingGraph& g = *graph_;
  const uint32_t size = c.size, width = size + 1;
  c.table = static_cast<uint32_t>(distance_.size());
  distance_.resize(distance_.size() + size_t{width} * width, kUnreachable);
  via_.resize(distance_.size(), kNone);
  back_.resize(distance_.size(), kNone);
  // Bellman-Ford from each source (the component's nodes, then the boundary): a few dozen nodes.
  for (uint32_t s = 0; s < width; ++s) {
    int64_t* dist = &distance_[c.table + size_t{s} * width];
    uint32_t* via = &via_[c.table + size_t{s} * width];
    uint32_t* back = &back_[c.table + size_t{s} * width];
    dist[s] = 0;
    for (bool changed = true; changed;) {
      changed = false;
      for (uint32_t k = 0; k < size; ++k) {
        const uint32_t x = nodes_[c.first + k];
        for (uint32_t i = adjacency_start_[x]; i < adjacency_start_[x + 1]; ++i) {
          const DecodingEdge& e = g.edges[adjacency_[i]];
          const uint32_t y = e.u == x ? e.v : e.u;
          const uint32_t ly = y < g.detector_count ? local_[y] : size;
          const int64_t w = matching::fine_weight(e);
          // Relax both ways: x from y, and y (or the boundary) from x.
          if (dist[ly] + w < dist[k]) {
            dist[k] = dist[ly] + w;
            via[k] = adjacency_[i];
            back[k] = ly;
            changed = true;
          }
          if (dist[k] + w < dist[ly]) {
            dist[ly] = dist[k] + w;
            via[ly] = adjacency_[i];
            back[ly] = k;
            changed = true;
          }
        }
      }
    }
  }
  c.prepared = true;
}

void ComponentTJoin::append_path(const Component& c, uint32_t from, uint32_t to) {
  const size_t row = c.table + size_t{from} * (c.size + 1);
  const uint32_t* via = &via_[row];
  const uint32_t* back = &back_[row];
  // Back from `to` along the edges by which shortest paths from `from` arrive.
  for (uint32_t at = to; at != from; at = back[at]) {
    const uint32_t e = via[at];
    edge_parity_[e] ^= 1;
    path_.push_back(e);
  }
}

bool ComponentTJoin::solve(std::span<const uint32_t> targets) {
  touched_.clear();
  bool ok = true;
  for (uint32_t t : targets) {
    const uint32_t k = component_of_[t];
    if (targets_of_[k].empty()) touched_.push_back(k);
    targets_of_[k].push_back(local_[t]);
  }
  weight_ = 0;
  path_.clear();
  for (uint32_t k : touched_) {
    if (!ok) break;
    const Component& c = components_[k];
    const std::vector<uint32_t>& ts = targets_of_[k];
    const auto m = static_cast<uint32_t>(ts.size());
    if (!c.prepared || m > kMaxTargets) {
      ok = false;
      break;
    }
    const uint32_t width = c.size + 1;
    auto dist = [&](uint32_t a, uint32_t b) { return distance_[c.table + size_t{a} * width + b]; };
    // Without a way to the boundary, an odd number of targets leaves one unmatched, as a matcher
    // would: "the boundary" then costs more than any pairing, so that exactly one goes there.
    const bool stranded = dist(ts[0], c.size) >= kUnreachable && m % 2 == 1;
    auto to_boundary = [&](uint32_t a) { return stranded ? kLeftOut : dist(a, c.size); };
    // best_[mask]: the lightest way to resolve the targets in mask; choice_: the partner of the
    // lowest target in it (m: the boundary).
    const uint32_t full = (1u << m) - 1;
    best_.assign(full + 1, kUnreachable);
    choice_.assign(full + 1, 0);
    best_[0] = 0;
    for (uint32_t mask = 1; mask <= full; ++mask) {
      const auto i = static_cast<uint32_t>(std::countr_zero(mask));
      const uint32_t rest = mask & ~(1u << i);
      int64_t b = best_[rest] + to_boundary(ts[i]);
      uint8_t pick = static_cast<uint8_t>(m);
      for (uint32_t j = i + 1; j < m; ++j) {
        if (!(rest >> j & 1)) continue;
        const int64_t w = best_[rest & ~(1u << j)] + dist(ts[i], ts[j]);
        if (w < b) {
          b = w;
          pick = static_cast<uint8_t>(j);
        }
      }
      best_[mask] = std::min(b, kUnreachable);
      choice_[mask] = pick;
    }
    if (best_[full] >= kUnreachable) {
      ok = false;
      break;
    }
    weight_ += stranded ? best_[full] - kLeftOut : best_[full];
    for (uint32_t mask = full; mask != 0;) {
      const auto i = static_cast<uint32_t>(std::countr_zero(mask));
      const uint32_t j = choice_[mask];
      if (j != m) {
        append_path(c, ts[i], ts[j]);
      } else if (!stranded) {
        append_path(c, ts[i], c.size);
      }
      mask &= ~(1u << i);
      if (j != m) mask &= ~(1u << j);
    }
  }
  for (uint32_t k : touched_) targets_of_[k].clear();
  // Paths sharing an edge cancel on it.
  edges_.clear();
  for (uint32_t e : path_) {
    if (edge_parity_[e]) edges_.push_back(e);
    edge_parity_[e] = 0;
  }
  if (!ok) edges_.clear();
  return ok;
}

}  // namespace ostrel::decode::mobius
