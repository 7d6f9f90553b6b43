#include "ostrel/decode/union_find.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <unordered_map>
#include <utility>

#include "ostrel/decode/fired_cells.h"
#include "ostrel/decode/syndrome_window.h"

namespace ostrel::decode {
namespace {

// Node indices are 32 bits wide, with one value kept to mean no node.
constexpr uint64_t kMaxNodes = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kNoNode = std::numeric_limits<uint32_t>::max();
// Positions and the two incidences of every pair are counted in 32 bits.
constexpr uint64_t kMaxEdges = std::numeric_limits<int32_t>::max();

uint64_t fold_observables(const std::vector<uint8_t>& observables) {
  uint64_t mask = 0;
  for (uint8_t k : observables) {
    if (k < 64) mask ^= uint64_t{1} << k;  // toggled per occurrence, so duplicates cancel
  }
  return mask;
}

void set_bit(std::vector<uint64_t>& bits, uint32_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }

// What `build` allocates, counted generously. Per node: sixteen arrays of 4 bytes (including the
// scratch union-find and fill cursors of construction), two of 1 byte and a component mask of 8.
// Per merging edge: its ends (8), next and sorted positions (4 + 4), its pair while grouping (4),
// a hash bucket (8), its bit in the pass set, rounded up to 32. Per pair of endpoints: a hash node
// (32 as the allocator rounds it), ends and observables (8 + 8), its position range (4 + 4), two
// incidences (24) and an observable entry (16); ends and observables twice over, as their lists
// grow by doubling.
constexpr uint64_t kBytesPerNode = 16 * 4 + 2 + 8;
constexpr uint64_t kBytesPerMergingEdge = 32;
constexpr uint64_t kBytesPerPair = 32 + 2 * 16 + 8 + 24 + 16;

// Edges with both ends on nodes and not on one node: the decoder's positions.
bool is_merging(const dem::GraphEdge& edge, uint64_t node_count, uint64_t boundary) {
  const uint64_t v = std::min<uint64_t>(edge.v, boundary);
  return edge.u < node_count && v < node_count && edge.u != v;
}

}  // namespace

std::string DecoderError::message() const {
  const std::string shape = std::to_string(node_count) + " nodes and " + std::to_string(edge_count) + " edges";
  switch (kind) {
    case DecoderErrorKind::MissingGraph:
      return "the decoder needs a spacetime graph";
    case DecoderErrorKind::GraphTooLarge:
      return "spacetime graph of " + shape + " is too large to decode";
    case DecoderErrorKind::OutOfMemory:
      return "cannot allocate a decoder for a spacetime graph of " + shape;
    case DecoderErrorKind::OverBudget:
      return "a decoder for a spacetime graph of " + shape + " needs " + std::to_string(mebibytes(bytes)) +
             " MiB, more than the budget of " + std::to_string(mebibytes(budget)) + " MiB";
  }
  return "decoder error";
}

uint64_t UnionFindDecoder::bytes_needed(uint64_t node_count, uint64_t merging_edges, uint64_t pairs) noexcept {
  // The counts fit in 32 bits here, so nothing overflows.
  return node_count * kBytesPerNode + merging_edges * kBytesPerMergingEdge + pairs * kBytesPerPair;
}

Result<UnionFindDecoder, DecoderError> UnionFindDecoder::create(std::shared_ptr<const dem::SpacetimeGraph> graph,
                                                                uint64_t budget) {
  if (!graph) return fail(DecoderError{DecoderErrorKind::MissingGraph});
  const uint64_t nodes = graph->nodes.size();
  const uint64_t edges = graph->edges.size();
  if (nodes > kMaxNodes || edges > kMaxEdges) {
    return fail(DecoderError{DecoderErrorKind::GraphTooLarge, nodes, edges});
  }
  uint64_t merging = 0;
  for (const dem::GraphEdge& edge : graph->edges) merging += is_merging(edge, nodes, graph->boundary_node);
  UnionFindDecoder decoder;
  try {
    const uint64_t boundary = graph->boundary_node;
    const uint64_t bytes = bytes_against_budget(nodes, merging, budget, [&](auto&& emit) {
      for (const dem::GraphEdge& edge : graph->edges) {
        if (!is_merging(edge, nodes, boundary)) continue;
        const uint64_t u = edge.u, v = std::min<uint64_t>(edge.v, boundary);
        emit(std::min(u, v) << 32 | std::max(u, v));
      }
    });
    if (bytes > budget) return fail(DecoderError{DecoderErrorKind::OverBudget, nodes, edges, bytes, budget});
    decoder.build(*graph, merging);
  } catch (const std::bad_alloc&) {
    return fail(DecoderError{DecoderErrorKind::OutOfMemory, nodes, edges});
  }
  decoder.graph_ = std::move(graph);
  return decoder;
}

void UnionFindDecoder::build(const dem::SpacetimeGraph& graph, uint64_t merging_edges) {
  const uint64_t n = graph.nodes.size();
  boundary_ = graph.boundary_node;

  // Group the merging edges into pairs of endpoints; fold self-loops into one mask.
  std::unordered_map<uint64_t, uint32_t> pair_of_ends;
  pair_of_ends.reserve(merging_edges);
  std::vector<Ends> pairs;
  std::vector<uint64_t> pair_observables;
  std::vector<uint32_t> position_pair;
  position_pair.reserve(merging_edges);
  position_ends_.reserve(merging_edges);
  for (const dem::GraphEdge& edge : graph.edges) {
    const uint64_t u = edge.u;
    const uint64_t v = std::min<uint64_t>(edge.v, boundary_);
    if (u >= n || v >= n) continue;
    const uint64_t mask = fold_observables(edge.observables);
    if (u == v) {
      self_loop_observables_ ^= mask;
      continue;
    }
    const uint64_t key = std::min(u, v) << 32 | std::max(u, v);
    const auto [it, added] = pair_of_ends.try_emplace(key, static_cast<uint32_t>(pairs.size()));
    if (added) {
      pairs.push_back({static_cast<uint32_t>(u), static_cast<uint32_t>(v)});
      pair_observables.push_back(0);
    }
    pair_observables[it->second] ^= mask;
    position_pair.push_back(it->second);
    position_ends_.push_back({static_cast<uint32_t>(u), static_cast<uint32_t>(v)});
  }
  const uint32_t pair_count = static_cast<uint32_t>(pairs.size());
  const uint32_t positions = static_cast<uint32_t>(position_pair.size());

  // Positions per pair, ascending, and the next position of each position's pair.
  std::vector<uint32_t> positions_begin(pair_count + 1, 0);
  for (uint32_t p : position_pair) ++positions_begin[p + 1];
  for (uint32_t p = 0; p < pair_count; ++p) positions_begin[p + 1] += positions_begin[p];
  positions_.resize(positions);
  next_position_.assign(positions, kNoNode);
  {
    std::vector<uint32_t> fill(positions_begin.begin(), positions_begin.end() - 1);
    for (uint32_t i = 0; i < positions; ++i) {
      const uint32_t p = position_pair[i];
      if (fill[p] != positions_begin[p]) next_position_[positions_[fill[p] - 1]] = i;
      positions_[fill[p]++] = i;
    }
  }

  incident_start_.assign(n + 1, 0);
  observable_start_.assign(n + 1, 0);
  for (uint32_t p = 0; p < pair_count; ++p) {
    ++incident_start_[pairs[p].u + 1];
    ++incident_start_[pairs[p].v + 1];
    if (pair_observables[p] != 0) ++observable_start_[pairs[p].u + 1];
  }
  for (uint64_t x = 0; x < n; ++x) {
    incident_start_[x + 1] += incident_start_[x];
    observable_start_[x + 1] += observable_start_[x];
  }
  incident_.resize(incident_start_[n]);
  observable_pairs_.resize(observable_start_[n]);
  {
    std::vector<uint32_t> fill(incident_start_.begin(), incident_start_.end() - 1);
    std::vector<uint32_t> fill_observable(observable_start_.begin(), observable_start_.end() - 1);
    for (uint32_t p = 0; p < pair_count; ++p) {
      const auto [u, v] = pairs[p];
      incident_[fill[u]++] = {v, positions_begin[p], positions_begin[p + 1]};
      incident_[fill[v]++] = {u, positions_begin[p], positions_begin[p + 1]};
      if (pair_observables[p] != 0) observable_pairs_[fill_observable[u]++] = {pair_observables[p], v};
    }
  }

  // Components, labelled through a scratch union-find.
  {
    std::vector<uint32_t> parent(n);
    for (uint64_t x = 0; x < n; ++x) parent[x] = static_cast<uint32_t>(x);
    auto root = [&](uint32_t x) {
      while (parent[x] != x) x = parent[x] = parent[parent[x]];
      return x;
    };
    for (const Ends& pair : pairs) parent[root(pair.u)] = root(pair.v);
    component_.assign(n, kNoNode);
    uint32_t components = 0;
    for (uint64_t x = 0; x < n; ++x) {
      uint32_t& label = component_[root(static_cast<uint32_t>(x))];
      if (label == kNoNode) label = components++;
      component_[x] = label;
    }
    component_observables_.assign(components, 0);
    for (uint32_t p = 0; p < pair_count; ++p) component_observables_[component_[pairs[p].u]] ^= pair_observables[p];
    component_parity_.assign(components, 0);
  }

  cluster_.resize(n);
  defects_.resize(n);
  size_.resize(n);
  next_member_.resize(n);
  joined_.resize(n);
  live_end_.resize(n);
  frontier_next_.resize(n);
  frontier_prev_.resize(n);
  frontier_head_.resize(n);
  frontier_size_.resize(n);
  armed_in_pass_.resize(n);
  for (uint64_t x = 0; x < n; ++x) reset_node(static_cast<uint32_t>(x));

  fired_.reserve(n);
  seeds_.reserve(n);
  touched_.reserve(n);
  this_pass_.assign((static_cast<size_t>(positions) + 63) / 64, 0);
}

void UnionFindDecoder::reset_node(uint32_t x) noexcept {
  cluster_[x] = x;
  defects_[x] = 0;
  size_[x] = 1;
  next_member_[x] = x;
  joined_[x] = 0;
  live_end_[x] = incident_start_[x + 1];
  const bool has_pairs = incident_start_[x + 1] != incident_start_[x];
  frontier_next_[x] = frontier_prev_[x] = x;
  frontier_head_[x] = has_pairs ? x : kNoNode;
  frontier_size_[x] = has_pairs ? 1 : 0;
  armed_in_pass_[x] = 0;
}

uint64_t UnionFindDecoder::decode(const SyndromeWindow& window) { return decode(window.matrix()); }

uint64_t UnionFindDecoder::decode(std::span<const uint8_t> detector_matrix) {
  const uint64_t n = cluster_.size();
  const auto cells = detector_matrix.first(static_cast<size_t>(std::min<uint64_t>(detector_matrix.size(), n)));
  fired_.clear();
  for_each_fired_cell(cells, [&](size_t i) {
    if (i != boundary_) fired_.push_back(static_cast<uint32_t>(i));
  });
  if (fired_.empty()) return 0;

  uint64_t mask = self_loop_observables_;
  for (uint32_t d : fired_) component_parity_[component_[d]] ^= 1;
  seeds_.clear();
  for (uint32_t d : fired_) {
    uint8_t& parity = component_parity_[component_[d]];
    if (parity == 0) {
      seeds_.push_back(d);
    } else if (parity == 1) {
      mask ^= component_observables_[component_[d]];
      parity = 2;  // counted
    }
  }
  for (uint32_t d : fired_) component_parity_[component_[d]] = 0;

  if (!seeds_.empty()) {
    for (uint32_t d : seeds_) defects_[d] = 1;
    grow();
    mask ^= internal_observables();
    for (uint32_t x : touched_) reset_node(x);
    for (uint32_t d : seeds_) reset_node(d);
    touched_.clear();
  }
  return mask;
}

void UnionFindDecoder::grow() {
  const uint64_t pass_limit = cluster_.size();
  for (uint64_t pass = 1;; ++pass) {
    merges_in_pass_ = 0;
    queued_ = false;
    if (++pass_number_ == 0) {
      // The counter wrapped: forget every old mark so that none matches a new pass.
      std::fill(armed_in_pass_.begin(), armed_in_pass_.end(), 0);
      pass_number_ = 1;
    }
    queue_odd_clusters();
    if (!queued_) break;
    for (size_t w = 0; w < this_pass_.size(); ++w) {
      // Re-read the word each time: merging may queue later positions of this same word.
      while (this_pass_[w] != 0) {
        const uint64_t bits = this_pass_[w];
        this_pass_[w] = bits & (bits - 1);
        grow_at(static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(bits))));
      }
    }
    // A pass without a merge leaves every cluster as it was, so every later pass would repeat it.
    // (Each merging pass lowers the number of clusters, so the limit of N passes never cuts one.)
    if (merges_in_pass_ == 0 || pass >= pass_limit) break;
  }
}

void UnionFindDecoder::queue_odd_clusters() {
  // At the start of a pass every pair at an odd cluster may merge, at its first position.
  for (uint32_t d : seeds_) {
    if (!joined_[d] && (defects_[d] & 1)) activate(d, d, 0);
  }
  for (uint32_t x : touched_) {
    if (cluster_[x] == x && (defects_[x] & 1)) activate(x, x, 0);
  }
}

void UnionFindDecoder::grow_at(uint32_t position) {
  const Ends ends = position_ends_[position];
  const uint32_t a = cluster_[ends.u];
  const uint32_t b = cluster_[ends.v];
  if (a == b) return;
  const uint32_t da = defects_[a];
  const uint32_t db = defects_[b];
  // Both clusters even: nothing happens here, but one of them may turn odd later in this pass.
  if (((da | db) & 1) == 0) {
    if (next_position_[position] != kNoNode) set_bit(this_pass_, next_position_[position]);
    return;
  }
  ++merges_in_pass_;
  // The nodes of an even cluster joining an odd one now sit in an odd cluster: their pairs may
  // merge at any later position of this pass.
  if ((da & 1) != (db & 1)) {
    if (da & 1) {
      activate(b, a, position + 1);
    } else {
      activate(a, b, position + 1);
    }
  }
  merge(a, b);
}

void UnionFindDecoder::activate(uint32_t cluster, uint32_t joining, uint32_t from) {
  // Queues each pair of `cluster` at its first position from `from` on. Pairs whose far end
  // lies in this cluster or in `joining` (which it is about to join) are inside for good: they
  // leave the node's live range, and a node left without live pairs leaves the frontier.
  if (armed_in_pass_[cluster] == pass_number_) return;
  armed_in_pass_[cluster] = pass_number_;
  uint32_t x = frontier_head_[cluster];
  for (uint32_t remaining = frontier_size_[cluster]; remaining > 0; --remaining) {
    const uint32_t next_x = frontier_next_[x];
    for (uint32_t k = incident_start_[x]; k < live_end_[x];) {
      const Incidence incidence = incident_[k];
      const uint32_t far = cluster_[incidence.far];
      if (far == cluster || far == joining) {
        std::swap(incident_[k], incident_[--live_end_[x]]);
        continue;
      }
      ++k;
      const uint32_t* next = positions_.data() + incidence.positions_begin;
      const uint32_t* last = positions_.data() + incidence.positions_end;
      if (last[-1] < from) continue;
      while (*next < from) ++next;  // parallel edges are few; stops at last[-1] at the latest
      set_bit(this_pass_, *next);
      queued_ = true;
    }
    if (live_end_[x] == incident_start_[x]) {
      frontier_next_[frontier_prev_[x]] = next_x;
      frontier_prev_[next_x] = frontier_prev_[x];
      if (--frontier_size_[cluster] == 0) {
        frontier_head_[cluster] = kNoNode;
      } else if (frontier_head_[cluster] == x) {
        frontier_head_[cluster] = next_x;
      }
    }
    x = next_x;
  }
}

void UnionFindDecoder::merge(uint32_t a, uint32_t b) {
  for (uint32_t x : {a, b}) {
    if (!joined_[x]) {
      joined_[x] = 1;
      touched_.push_back(x);
    }
  }
  // The larger cluster keeps its label; the members of the smaller take it.
  const uint32_t keep = size_[a] >= size_[b] ? a : b;
  const uint32_t gone = keep == a ? b : a;
  uint32_t x = gone;
  do {
    cluster_[x] = keep;
    x = next_member_[x];
  } while (x != gone);
  std::swap(next_member_[keep], next_member_[gone]);  // splices the member rings
  size_[keep] += size_[gone];
  defects_[keep] += defects_[gone];
  // Its whole frontier is queued only if both parts had theirs queued.
  if (armed_in_pass_[gone] != pass_number_) armed_in_pass_[keep] = 0;
  const uint32_t h = frontier_head_[keep];
  const uint32_t g = frontier_head_[gone];
  if (g != kNoNode) {
    if (h == kNoNode) {
      frontier_head_[keep] = g;
    } else {
      const uint32_t h_next = frontier_next_[h];
      const uint32_t g_next = frontier_next_[g];
      frontier_next_[h] = g_next;
      frontier_prev_[g_next] = h;
      frontier_next_[g] = h_next;
      frontier_prev_[h_next] = g;
    }
    frontier_size_[keep] += frontier_size_[gone];
  }
}

uint64_t UnionFindDecoder::internal_observables() const {
  // Only pairs with observables change the mask, and a pair inside a cluster has both ends off
  // their singletons, so the pairs listed at touched nodes are all there is to check.
  uint64_t mask = 0;
  for (uint32_t x : touched_) {
    for (uint32_t k = observable_start_[x]; k < observable_start_[x + 1]; ++k) {
      if (cluster_[observable_pairs_[k].far] == cluster_[x]) mask ^= observable_pairs_[k].observables;
    }
  }
  return mask;
}

}  // namespace ostrel::decode
