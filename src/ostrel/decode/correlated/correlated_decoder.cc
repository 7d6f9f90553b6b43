#include "ostrel/decode/correlated/correlated_decoder.h"

#include <algorithm>

#include "ostrel/decode/correlated/observable_parts.h"

namespace ostrel::decode {

CorrelatedDecoder::CorrelatedDecoder(std::unique_ptr<GraphDecoder> base, uint32_t max_passes, bool accumulate,
                                     std::unique_ptr<GraphDecoder> first, uint32_t crowded, uint32_t sparse,
                                     bool defer_last)
    : base_(std::move(base)),
      first_(std::move(first)),
      last_(base_.get()),
      max_passes_(std::max<uint32_t>(max_passes, 1)),
      accumulate_(accumulate),
      crowded_(crowded),
      sparse_(sparse) {
  const DecodingGraph& g = base_->graph();
  weight_.reserve(g.edges.size());
  for (const DecodingEdge& e : g.edges) weight_.push_back(e.weight);
  lowered_.assign(g.edges.size(), kUnset);
  next_.assign(g.edges.size(), kUnset);
  user_set_.assign(g.edges.size(), 0);
  seen_.assign(g.edges.size(), 0);
  if (defer_last && max_passes_ >= 2 && !g.correlations.empty()) {
    auto observable = std::make_shared<const ObservableParts>(observable_parts(g));
    // Where every edge bears on an observable there is nothing to defer.
    if (!observable->all()) observable_ = std::move(observable);
  }
}

std::unique_ptr<GraphDecoder> CorrelatedDecoder::clone() const {
  return std::make_unique<CorrelatedDecoder>(base_->clone(), max_passes_, accumulate_,
                                             first_ ? first_->clone() : nullptr, crowded_, sparse_,
                                             observable_ != nullptr);
}

void CorrelatedDecoder::set_edge_weight(uint32_t edge, int32_t weight) {
  if (edge >= weight_.size()) return;
  finish();  // the last decode's correction is found under its own weights
  if (!user_set_[edge]) {
    user_set_[edge] = 1;
    set_edges_.push_back(edge);
  }
  weight_[edge] = weight;
  base_->set_edge_weight(edge, weight);
  if (first_) first_->set_edge_weight(edge, weight);
}

void CorrelatedDecoder::restore_edge_weights() {
  finish();  // the correction stays readable under the weights that found it
  for (const uint32_t e : lowered_edges_) lowered_[e] = kUnset;
  lowered_edges_.clear();
  for (const uint32_t e : set_edges_) {
    weight_[e] = graph().edges[e].weight;
    user_set_[e] = 0;
  }
  set_edges_.clear();
  base_->restore_edge_weights();
  if (first_) first_->restore_edge_weights();
}

bool CorrelatedDecoder::weigh_from(std::span<const uint32_t> correction, bool keep) {
  const EdgeCorrelations& correlations = graph().correlations;
  if (keep)
    for (const uint32_t e : lowered_edges_) {
      next_[e] = lowered_[e];
      next_edges_.push_back(e);
    }
  for (const uint32_t a : correction)
    for (const EdgeCorrelation& c : correlations.of(a)) {
      if (next_[c.edge] == kUnset) next_edges_.push_back(c.edge);
      next_[c.edge] = std::min({next_[c.edge], c.weight, weight_[c.edge]});
    }
  bool raise = false;
  for (const uint32_t e : lowered_edges_) raise |= next_[e] == kUnset;
  bool changed = raise;
  if (raise) {
    // Only the base knows an edge's own weight to its full resolution: restore them all, then
    // set again what the caller set and what this pass lowers.
    base_->restore_edge_weights();
    for (const uint32_t e : set_edges_) base_->set_edge_weight(e, weight_[e]);
    for (const uint32_t e : next_edges_) base_->set_edge_weight(e, next_[e]);
  } else {
    for (const uint32_t e : next_edges_)
      if (next_[e] != lowered_[e]) {
        base_->set_edge_weight(e, next_[e]);
        changed = true;
      }
  }
  for (const uint32_t e : lowered_edges_) lowered_[e] = kUnset;
  std::swap(lowered_, next_);
  std::swap(lowered_edges_, next_edges_);
  next_edges_.clear();
  return changed;
}

void CorrelatedDecoder::restore_lowered() {
  if (lowered_edges_.empty()) return;
  // Only the base knows an edge's own weight to its full resolution: restore them all, then
  // set again what the caller set.
  base_->restore_edge_weights();
  for (const uint32_t e : set_edges_) base_->set_edge_weight(e, weight_[e]);
  for (const uint32_t e : lowered_edges_) lowered_[e] = kUnset;
  lowered_edges_.clear();
}

bool CorrelatedDecoder::lower(uint32_t edge, int32_t weight, bool user_set) {
  // A correlation's weight is below its edge's own (edge_correlations.h): only an edge the caller
  // set can stand lower already.
  int32_t& now = lowered_[edge];
  if (weight >= now || (user_set && weight >= weight_[edge])) return false;
  if (now == kUnset) lowered_edges_.push_back(edge);
  now = weight;
  base_->set_edge_weight(edge, weight);
  return true;
}

bool CorrelatedDecoder::lower_from(std::span<const uint32_t> correction, bool defer) {
  const EdgeCorrelations& correlations = graph().correlations;
  const bool user_set = !set_edges_.empty();
  const uint8_t* observable = defer ? observable_->edge.data() : nullptr;
  bool changed = false;
  for (const uint32_t a : correction) {
    if (seen_[a]) continue;  // what it lowers is lowered already
    seen_[a] = 1;
    seen_edges_.push_back(a);
    for (const EdgeCorrelation& c : correlations.of(a)) {
      if (observable && !observable[c.edge]) {
        deferred_.push_back(c);
        continue;
      }
      changed |= lower(c.edge, c.weight, user_set);
    }
  }
  return changed;
}

void CorrelatedDecoder::finish() {
  if (!pending_) return;
  pending_ = false;
  const bool user_set = !set_edges_.empty();
  bool changed = false;
  for (const EdgeCorrelation& c : deferred_) changed |= lower(c.edge, c.weight, user_set);
  deferred_.clear();
  if (!changed && !partial_) return;
  // The observables' components come out as they were: only the rest grows again.
  if (last_ == base_.get() && !partial_) {
    base_->decode_again(fired_);
  } else {
    base_->decode(fired_);
    last_ = base_.get();
  }
  partial_ = false;
}

uint64_t CorrelatedDecoder::decode(std::span<const uint32_t> fired_detectors) {
  pending_ = false;
  partial_ = false;
  deferred_.clear();
  restore_lowered();
  const bool correlated = max_passes_ >= 2 && !graph().correlations.empty();
  last_ = first_ && correlated && fired_detectors.size() >= sparse_ ? first_.get() : base_.get();
  uint64_t mask = last_->decode(fired_detectors);
  last_passes_ = 1;
  if (!correlated) return mask;
  const std::span<const uint32_t> first = last_->correction();
  previous_.assign(first.begin(), first.end());
  // Afresh, a pass's correction is sorted to compare with the next one's (which the last pass
  // does not); accumulating, lower_from finds no edge it has not seen instead.
  const uint32_t passes = fired_detectors.size() >= crowded_ ? max_passes_ : std::min<uint32_t>(max_passes_, 2);
  const bool compare = !accumulate_ && passes > 2;
  if (compare) std::sort(previous_.begin(), previous_.end());
  while (last_passes_ < passes) {
    // The last pass leaves the components that flip no observable for finish().
    const bool defer = accumulate_ && observable_ && last_passes_ + 1 == passes;
    const bool changed = accumulate_ ? lower_from(previous_, defer) : weigh_from(previous_, false);
    // The same weights give the same correction; a first pass's correction, when not empty,
    // still goes to the base, which is the better decoder.
    if (!changed && (last_ == base_.get() || previous_.empty())) break;
    // The base's first decode of this shot starts afresh, on the observables' components alone
    // when it is the last.
    if (last_ == base_.get()) {
      mask = base_->decode_again(fired_detectors);
    } else if (defer) {
      part_.clear();
      for (const uint32_t d : fired_detectors)
        if (d < observable_->detector.size() && observable_->detector[d]) part_.push_back(d);
      partial_ = part_.size() != fired_detectors.size();
      mask = base_->decode(part_);
    } else {
      mask = base_->decode(fired_detectors);
    }
    last_ = base_.get();
    ++last_passes_;
    if (last_passes_ == passes) break;
    const std::span<const uint32_t> next = base_->correction();
    current_.assign(next.begin(), next.end());
    if (compare) {
      std::sort(current_.begin(), current_.end());
      if (current_ == previous_) break;  // the next pass would weigh the graph the same
    }
    std::swap(current_, previous_);
  }
  // The lowered edges stay until the next decode: the base reads its correction (matching may
  // search for a path) under the weights of the pass that found it, and only if asked.
  for (const uint32_t e : seen_edges_) seen_[e] = 0;
  seen_edges_.clear();
  if (!deferred_.empty() || partial_) {
    pending_ = true;
    fired_.assign(fired_detectors.begin(), fired_detectors.end());
  }
  return mask;
}

}  // namespace ostrel::decode
