#include "ostrel/decode/union_find.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <utility>

#include "ostrel/decode/fired_cells.h"
#include "ostrel/decode/syndrome_window.h"

namespace ostrel::decode {
namespace {

constexpr uint64_t kMaxNodes = uint64_t{1} << 32;  // node indices are 32 bits wide
constexpr uint64_t kMaxEdges = std::numeric_limits<uint32_t>::max();

uint64_t fold_observables(const std::vector<uint8_t>& observables) {
  uint64_t mask = 0;
  for (uint8_t k : observables) {
    if (k < 64) mask ^= uint64_t{1} << k;  // toggled per occurrence, so duplicates cancel
  }
  return mask;
}

void set_bit(std::vector<uint64_t>& bits, uint32_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }
bool test_bit(const std::vector<uint64_t>& bits, uint32_t i) { return (bits[i >> 6] >> (i & 63)) & 1; }

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
  }
  return "decoder error";
}

Result<UnionFindDecoder, DecoderError> UnionFindDecoder::create(std::shared_ptr<const dem::SpacetimeGraph> graph) {
  if (!graph) return fail(DecoderError{DecoderErrorKind::MissingGraph});
  const uint64_t nodes = graph->nodes.size();
  const uint64_t edges = graph->edges.size();
  if (nodes > kMaxNodes || edges > kMaxEdges) {
    return fail(DecoderError{DecoderErrorKind::GraphTooLarge, nodes, edges});
  }
  UnionFindDecoder decoder;
  try {
    decoder.build(*graph);
  } catch (const std::bad_alloc&) {
    return fail(DecoderError{DecoderErrorKind::OutOfMemory, nodes, edges});
  }
  decoder.graph_ = std::move(graph);
  return decoder;
}

void UnionFindDecoder::build(const dem::SpacetimeGraph& graph) {
  const uint64_t n = graph.nodes.size();
  boundary_ = graph.boundary_node;

  // The merging edges, and the self-loops folded into one mask.
  ends_.reserve(graph.edges.size());
  observables_.reserve(graph.edges.size());
  for (const dem::GraphEdge& edge : graph.edges) {
    const uint64_t u = edge.u;
    const uint64_t v = std::min<uint64_t>(edge.v, boundary_);
    if (u >= n || v >= n) continue;
    const uint64_t mask = fold_observables(edge.observables);
    if (u == v) {
      self_loop_observables_ ^= mask;
    } else {
      ends_.push_back({static_cast<uint32_t>(u), static_cast<uint32_t>(v)});
      observables_.push_back(mask);
    }
  }
  const uint32_t merging = static_cast<uint32_t>(ends_.size());

  // Incident edges per node, in edge order.
  incident_start_.assign(n + 1, 0);
  for (const EdgeEnds& e : ends_) {
    ++incident_start_[e.u + 1];
    ++incident_start_[e.v + 1];
  }
  for (uint64_t x = 0; x < n; ++x) incident_start_[x + 1] += incident_start_[x];
  incident_.resize(incident_start_[n]);
  {
    std::vector<size_t> fill(incident_start_.begin(), incident_start_.end() - 1);
    for (uint32_t i = 0; i < merging; ++i) {
      incident_[fill[ends_[i].u]++] = i;
      incident_[fill[ends_[i].v]++] = i;
    }
  }

  parent_.resize(n);
  for (uint64_t x = 0; x < n; ++x) parent_[x] = static_cast<uint32_t>(x);
  rank_.assign(n, 0);
  defects_.assign(n, 0);
  next_member_ = parent_;

  // Components, found with the union-find arrays and then returned to singletons.
  for (const EdgeEnds& e : ends_) {
    const uint32_t a = find(e.u);
    const uint32_t b = find(e.v);
    if (a != b) parent_[b] = a;
  }
  component_.assign(n, std::numeric_limits<uint32_t>::max());
  uint32_t components = 0;
  for (uint64_t x = 0; x < n; ++x) {
    const uint32_t root = find(static_cast<uint32_t>(x));
    if (component_[root] == std::numeric_limits<uint32_t>::max()) component_[root] = components++;
    component_[x] = component_[root];
  }
  for (uint64_t x = 0; x < n; ++x) parent_[x] = static_cast<uint32_t>(x);
  component_observables_.assign(components, 0);
  for (uint32_t i = 0; i < merging; ++i) component_observables_[component_[ends_[i].u]] ^= observables_[i];
  component_parity_.assign(components, 0);

  fired_.reserve(n);
  seeds_.reserve(n);
  touched_.reserve(n);
  const size_t words = (static_cast<size_t>(merging) + 63) / 64;
  this_pass_.assign(words, 0);
  next_pass_.assign(words, 0);
  inside_.assign(words, 0);
}

uint64_t UnionFindDecoder::decode(const SyndromeWindow& window) { return decode(window.matrix()); }

uint64_t UnionFindDecoder::decode(std::span<const uint8_t> detector_matrix) {
  const uint64_t n = parent_.size();
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
    grow(seeds_);
    mask ^= internal_edge_observables();
    clear_scratch(seeds_);
  }
  return mask;
}

uint32_t UnionFindDecoder::find(uint32_t x) noexcept {
  while (parent_[x] != x) {
    parent_[x] = parent_[parent_[x]];
    x = parent_[x];
  }
  return x;
}

void UnionFindDecoder::grow(std::span<const uint32_t> seeds) {
  // Every edge at a fired detector may merge in the first pass.
  for (uint32_t d : seeds) {
    defects_[d] = 1;
    for (size_t k = incident_start_[d]; k < incident_start_[d + 1]; ++k) set_bit(this_pass_, incident_[k]);
  }
  next_pass_queued_ = false;
  const uint64_t pass_limit = parent_.size();
  for (uint64_t pass = 1;; ++pass) {
    merges_in_pass_ = 0;
    for (size_t w = 0; w < this_pass_.size(); ++w) {
      // Re-read the word each time: merging may queue later edges of this same word.
      while (this_pass_[w] != 0) {
        const uint64_t bits = this_pass_[w];
        this_pass_[w] = bits & (bits - 1);
        grow_along(static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(bits))));
      }
    }
    // A pass without a merge leaves every cluster as it was, so every later pass would repeat it.
    if (merges_in_pass_ == 0 || pass >= pass_limit || !next_pass_queued_) break;
    std::swap(this_pass_, next_pass_);
    next_pass_queued_ = false;
  }
  if (next_pass_queued_) std::fill(next_pass_.begin(), next_pass_.end(), 0);
}

void UnionFindDecoder::grow_along(uint32_t edge) {
  const uint32_t a = find(ends_[edge].u);
  const uint32_t b = find(ends_[edge].v);
  if (a == b) {
    set_bit(inside_, edge);
    return;
  }
  const uint32_t da = defects_[a];
  const uint32_t db = defects_[b];
  // Both clusters even: nothing happens now. Should one of them turn odd later, its edges are
  // queued again then.
  if (((da | db) & 1) == 0) return;
  set_bit(inside_, edge);
  ++merges_in_pass_;
  // The nodes of an even cluster joining an odd one now sit in an odd cluster: their edges may
  // merge, later in this pass if they come after this edge, else in the next pass.
  if ((da & 1) != (db & 1)) queue_cluster_edges((da & 1) ? b : a, edge);
  merge(a, b, da, db);
}

void UnionFindDecoder::queue_cluster_edges(uint32_t root, uint32_t position) {
  uint32_t x = root;
  do {
    for (size_t k = incident_start_[x]; k < incident_start_[x + 1]; ++k) {
      const uint32_t edge = incident_[k];
      if (test_bit(inside_, edge)) continue;
      if (edge > position) {
        set_bit(this_pass_, edge);
      } else {
        set_bit(next_pass_, edge);
        next_pass_queued_ = true;
      }
    }
    x = next_member_[x];
  } while (x != root);
}

void UnionFindDecoder::merge(uint32_t a, uint32_t b, uint32_t defects_a, uint32_t defects_b) {
  if (next_member_[a] == a) touched_.push_back(a);
  if (next_member_[b] == b) touched_.push_back(b);
  std::swap(next_member_[a], next_member_[b]);  // splices the two member rings into one
  uint32_t root = a;
  if (rank_[a] > rank_[b]) {
    parent_[b] = a;
  } else if (rank_[a] < rank_[b]) {
    parent_[a] = b;
    root = b;
  } else {
    parent_[b] = a;
    ++rank_[a];
  }
  defects_[root] = defects_a + defects_b;
}

uint64_t UnionFindDecoder::internal_edge_observables() {
  // An edge inside a cluster has both ends off their singletons; visit each from its first end.
  uint64_t mask = 0;
  for (uint32_t x : touched_) {
    const uint32_t root = find(x);
    for (size_t k = incident_start_[x]; k < incident_start_[x + 1]; ++k) {
      const uint32_t edge = incident_[k];
      if (ends_[edge].u == x && find(ends_[edge].v) == root) mask ^= observables_[edge];
    }
  }
  return mask;
}

void UnionFindDecoder::clear_scratch(std::span<const uint32_t> seeds) {
  for (uint32_t x : touched_) {
    parent_[x] = x;
    rank_[x] = 0;
    defects_[x] = 0;
    next_member_[x] = x;
  }
  touched_.clear();
  for (uint32_t d : seeds) defects_[d] = 0;
  std::fill(inside_.begin(), inside_.end(), 0);
}

}  // namespace ostrel::decode
