#include "ostrel/decode/sliding_window.h"

#include <algorithm>
#include <utility>

namespace ostrel::decode {

Result<std::shared_ptr<const SlidingWindowPlan>, std::string> SlidingWindowPlan::create(
    const dem::DetectorErrorModel& model, DetectorLayout layout, uint32_t commit_rounds, uint32_t buffer_rounds) {
  if (commit_rounds == 0) return fail(std::string("commit_rounds must be at least 1"));
  if (buffer_rounds == 0) return fail(std::string("buffer_rounds must be at least 1"));
  auto components = collect_component_edges(model);
  if (!components.ok()) return fail(std::move(components).error());

  std::shared_ptr<SlidingWindowPlan> plan(new SlidingWindowPlan());
  plan->commit_ = commit_rounds;
  plan->buffer_ = buffer_rounds;
  plan->observable_count_ = model.observable_count;
  plan->components_ = std::move(components).value();
  plan->layout_ = std::move(layout);
  const DetectorLayout& lay = plan->layout_;
  // A committed edge may reach at most into the buffer, never past the window.
  plan->longest_span_ = longest_round_span(lay, plan->components_);
  if (plan->longest_span_ > buffer_rounds)
    return fail("buffer_rounds (" + std::to_string(buffer_rounds) +
                ") must be at least the longest time span of an error in the model (" +
                std::to_string(plan->longest_span_) + " rounds)");
  // Bucket the components by earliest round (every named detector has a round in the layout).
  auto earliest = [&](const ComponentEdge& c) {
    const uint32_t ru = lay.round_of(c.u);
    return c.v == kNoDetector ? ru : std::min(ru, lay.round_of(c.v));
  };
  plan->round_start_.assign(size_t{lay.rows()} + 1, 0);
  for (const ComponentEdge& c : plan->components_) ++plan->round_start_[earliest(c) + 1];
  for (size_t r = 0; r < lay.rows(); ++r) plan->round_start_[r + 1] += plan->round_start_[r];
  {
    std::vector<ComponentEdge> sorted(plan->components_.size());
    std::vector<size_t> next(plan->round_start_.begin(), plan->round_start_.end() - 1);
    for (const ComponentEdge& c : plan->components_) sorted[next[earliest(c)]++] = c;
    plan->components_ = std::move(sorted);
  }

  std::vector<uint32_t> scratch(lay.detector_count(), DetectorLayout::kNone);
  const uint64_t rows = lay.rows();
  const uint64_t window = uint64_t{commit_rounds} + buffer_rounds;
  for (uint64_t first = 0;; first += commit_rounds) {
    const bool closing = first + window >= rows;
    const auto end = static_cast<uint32_t>(closing ? rows : first + window);
    const WindowSpan span{static_cast<uint32_t>(first), end,
                          closing ? end : static_cast<uint32_t>(first + commit_rounds)};
    WindowGraph w = build_window_graph(lay, plan->components_near(span.first, span.end), plan->observable_count_,
                                       span, scratch);
    if (!plan->windows_.empty() && same_decoding(plan->windows_.back(), w)) {
      w.graph = plan->windows_.back().graph;
      w.committed = plan->windows_.back().committed;
      w.decoder = plan->windows_.back().decoder;
    } else {
      w.decoder = plan->decoder_count_++;
    }
    plan->windows_.push_back(std::move(w));
    if (closing) break;
  }
  return std::shared_ptr<const SlidingWindowPlan>(std::move(plan));
}

std::span<const ComponentEdge> SlidingWindowPlan::components_near(uint32_t first, uint32_t end) const {
  // A component touching rounds [first, end) starts at most longest_span_ rounds before it.
  const uint32_t from = first > longest_span_ ? first - longest_span_ : 0;
  return std::span(components_).subspan(round_start_[from], round_start_[end] - round_start_[from]);
}

WindowGraph SlidingWindowPlan::partial_window(uint32_t first, uint32_t end) const {
  std::vector<uint32_t> scratch(layout_.detector_count(), DetectorLayout::kNone);
  return build_window_graph(layout_, components_near(first, end), observable_count_, WindowSpan{first, end, end},
                            scratch);
}

SlidingWindowDecoder::SlidingWindowDecoder(std::shared_ptr<const SlidingWindowPlan> plan) : plan_(std::move(plan)) {
  size_t largest = 0;
  decoders_.reserve(plan_->decoder_count());
  for (const WindowGraph& w : plan_->windows()) {
    if (w.decoder == decoders_.size()) decoders_.emplace_back(w.graph);
    largest = std::max(largest, w.detectors.size());
  }
  fired_.assign(plan_->layout().detector_count(), 0);
  fired_list_.reserve(largest);
}

uint64_t SlidingWindowDecoder::decode_window(const WindowGraph& window, WeightedUnionFind& decoder) {
  fired_list_.clear();
  for (uint32_t local = 0; local < window.detectors.size(); ++local)
    if (fired_[window.detectors[local]]) fired_list_.push_back(local);
  const uint64_t mask = decoder.decode(fired_list_);
  const std::vector<DecodingEdge>& edges = window.graph->edges;
  for (const uint32_t e : decoder.correction()) {
    if (!window.committed[e]) continue;
    frame_ ^= edges[e].observables;
    if (const uint32_t flip = window.flips[e]; flip != WindowGraph::kNoFlip) fired_[flip] ^= 1;
  }
  ++windows_;
  return mask;
}

Result<SlidingWindowDecoder::Pushed, std::string> SlidingWindowDecoder::push(uint32_t round,
                                                                             std::span<const uint8_t> events,
                                                                             Clock::time_point arrival) {
  const DetectorLayout& layout = plan_->layout();
  if (events.size() != layout.columns())
    return fail("round " + std::to_string(round) + " holds " + std::to_string(events.size()) +
                " ancillas but the detector layout has " + std::to_string(layout.columns()));
  if (round != 0) {
    if (!in_shot_)
      return fail("round " + std::to_string(round) + " arrives outside a shot (a shot starts at round 0)");
    if (round != next_round_)
      return fail("round " + std::to_string(round) + " does not follow round " + std::to_string(next_round_ - 1) +
                  " (expected round " + std::to_string(next_round_) + ")");
  } else {
    if (in_shot_) ++abandoned_;
    in_shot_ = true;
    window_index_ = 0;
    frame_ = 0;
  }
  // Assigning every cell of the row also clears whatever an earlier shot left there.
  const std::span<const uint32_t> row = layout.row(round);
  for (size_t c = 0; c < row.size(); ++c)
    if (row[c] != DetectorLayout::kNone) fired_[row[c]] = events[c] != 0;
  next_round_ = round + 1;
  ++rounds_;

  const WindowGraph& window = plan_->windows()[window_index_];
  if (next_round_ != window.span.end) return Pushed{frame_, false};
  const bool closing = window.span.end == layout.rows();
  decode_window(window, decoders_[window.decoder]);
  const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - arrival).count();
  const auto ns = static_cast<uint64_t>(std::max<int64_t>(waited, 0));
  if (!closing) {
    ++window_index_;
    commit_latency_.record(ns);
    return Pushed{frame_, false};
  }
  shot_latency_.record(ns);
  ++shots_;
  in_shot_ = false;
  next_round_ = 0;
  return Pushed{frame_, true};
}

std::optional<uint64_t> SlidingWindowDecoder::finish() {
  if (!in_shot_) return std::nullopt;
  const uint32_t first = plan_->windows()[window_index_].span.first;
  if (next_round_ > first) {
    const WindowGraph window = plan_->partial_window(first, next_round_);
    WeightedUnionFind decoder(window.graph);
    decode_window(window, decoder);
  }
  ++shots_;
  in_shot_ = false;
  next_round_ = 0;
  return frame_;
}

void SlidingWindowDecoder::clear_statistics() noexcept {
  rounds_ = windows_ = shots_ = abandoned_ = 0;
  commit_latency_.clear();
  shot_latency_.clear();
}

}  // namespace ostrel::decode
