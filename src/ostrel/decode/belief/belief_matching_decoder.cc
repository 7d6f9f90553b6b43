#include "ostrel/decode/belief/belief_matching_decoder.h"

#include <algorithm>
#include <cmath>

#include "ostrel/util/memory_budget.h"

namespace ostrel::decode::belief {

Result<BeliefMatchingDecoder, std::string> BeliefMatchingDecoder::create(const dem::DetectorErrorModel& dem,
                                                                         const BeliefMatchingOptions& options) {
  auto graph = build_decoding_graph(dem);
  if (!graph) return fail("belief-matching needs a model decomposed with ^ into components of one or two detectors: " +
                          std::move(graph).error());
  auto matrix = build_check_matrix(dem, decoding_memory_budget());
  if (!matrix) return fail(std::move(matrix).error());
  const DecodingGraph& g = **graph;
  const CheckMatrix& h = **matrix;

  // Each error's components, found in the graph by their endpoints (edges are sorted by them).
  auto edge_of = [&](uint32_t u, uint32_t v) -> uint32_t {
    if (u >= g.detector_count || (v != g.boundary() && v >= g.detector_count)) return UINT32_MAX;
    const auto it = std::lower_bound(g.edges.begin(), g.edges.end(), std::pair{u, v}, [](const DecodingEdge& e, auto key) {
      return std::pair{e.u, e.v} < key;
    });
    return it != g.edges.end() && it->u == u && it->v == v ? static_cast<uint32_t>(it - g.edges.begin()) : UINT32_MAX;
  };
  std::vector<Share> shares;
  std::vector<uint32_t> edge_start{0}, edges;
  std::vector<uint32_t> kept;
  size_t next_break = 0;
  for (size_t i = 0; i < dem.error_count(); ++i) {
    const auto& r = dem.error_records[i];
    uint32_t d = r.detectors_begin;
    const size_t first_break = next_break;
    while (next_break < dem.component_breaks.size() && dem.component_breaks[next_break].error == i) ++next_break;
    const uint32_t column = h.error_column[i];
    if (column == kNoColumn) continue;
    for (size_t k = first_break; k <= next_break; ++k) {
      const uint32_t end = k < next_break ? dem.component_breaks[k].detectors : r.detectors_end;
      kept.clear();
      for (; d < end; ++d) {
        const auto at = std::find(kept.begin(), kept.end(), dem.detector_targets[d]);
        if (at != kept.end()) kept.erase(at);
        else kept.push_back(dem.detector_targets[d]);
      }
      if (kept.empty()) continue;
      const uint32_t u = kept.size() == 2 ? std::min(kept[0], kept[1]) : kept[0];
      const uint32_t v = kept.size() == 2 ? std::max(kept[0], kept[1]) : g.boundary();
      const uint32_t e = edge_of(u, v);
      if (e != UINT32_MAX) edges.push_back(e);
    }
    shares.push_back({column, std::min(1.0, r.probability / h.priors[column])});
    edge_start.push_back(static_cast<uint32_t>(edges.size()));
  }
  BpOptions bp = options.bp;
  return BeliefMatchingDecoder(BeliefPropagation(std::move(*matrix), bp),
                               std::make_unique<matching::MatchingDecoder>(std::move(*graph)), std::move(shares),
                               std::move(edge_start), std::move(edges));
}

BeliefMatchingDecoder::BeliefMatchingDecoder(BeliefPropagation bp, std::unique_ptr<GraphDecoder> matcher,
                                             std::vector<Share> shares, std::vector<uint32_t> edge_start,
                                             std::vector<uint32_t> edges)
    : bp_(std::move(bp)),
      matcher_(std::move(matcher)),
      shares_(std::move(shares)),
      edge_start_(std::move(edge_start)),
      edges_(std::move(edges)),
      edge_probability_(matcher_->graph().edges.size(), 0.0) {}

BeliefMatchingDecoder::BeliefMatchingDecoder(const BeliefMatchingDecoder& other)
    : bp_(other.bp_),
      matcher_(other.matcher_->clone()),
      shares_(other.shares_),
      edge_start_(other.edge_start_),
      edges_(other.edges_),
      edge_probability_(other.edge_probability_),
      empty_(other.empty_) {}

uint64_t BeliefMatchingDecoder::decode(std::span<const uint32_t> fired) {
  bp_.set_syndrome(fired);
  const DecodingGraph& g = matcher_->graph();
  empty_ = bp_.syndrome_empty() && g.flipped_edges.empty();
  if (empty_) return 0;  // nothing fired and nothing assumed: no correction, at no cost
  if (bp_.syndrome_empty()) {
    // Nothing for BP to weigh: the graph's own weights.
    matcher_->restore_edge_weights();
    return matcher_->decode(fired);
  }
  bp_.decode();
  std::fill(edge_probability_.begin(), edge_probability_.end(), 0.0);
  const auto marginals = bp_.marginals();
  for (size_t i = 0; i < shares_.size(); ++i) {
    const double posterior = shares_[i].fraction / (1.0 + std::exp(marginals[shares_[i].column]));
    for (uint32_t k = edge_start_[i]; k < edge_start_[i + 1]; ++k) {
      double& p = edge_probability_[edges_[k]];
      p = p * (1 - posterior) + posterior * (1 - p);
    }
  }
  for (uint32_t e = 0; e < g.edges.size(); ++e) {
    const double p = std::clamp(edge_probability_[e], 1e-100, 1.0 - 1e-15);
    double w = std::log((1 - p) / p);
    if (g.edges[e].flipped) w = -w;
    // A weight below zero (BP finds the edge likelier than not) is the least the matcher takes.
    matcher_->set_edge_weight(e, static_cast<int32_t>(std::clamp(std::round(w * kWeightScale), 0.0,
                                                                 static_cast<double>(kMaxWeight))));
  }
  // Every edge is weighed anew each shot; the weights stay until then, for correction().
  return matcher_->decode(fired);
}

}  // namespace ostrel::decode::belief
