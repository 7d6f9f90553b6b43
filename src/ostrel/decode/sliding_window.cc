#include "ostrel/decode/sliding_window.h"

#include <algorithm>
#include <utility>

#include "ostrel/decode/model_checks.h"
#include "ostrel/decode/round_order.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {

Result<std::shared_ptr<const SlidingWindowPlan>, std::string> SlidingWindowPlan::create(
    const dem::DetectorErrorModel& model, DetectorLayout layout, uint32_t commit_rounds, uint32_t buffer_rounds) {
  if (commit_rounds == 0) return fail(std::string("commit_rounds must be at least 1"));
  if (buffer_rounds == 0) return fail(std::string("buffer_rounds must be at least 1"));
  if (auto refused = refuse_undecodable(model)) return fail(std::move(*refused));
  auto components = collect_component_edges(model);
  if (!components.ok()) return fail(std::move(components).error());

  std::shared_ptr<SlidingWindowPlan> plan(new SlidingWindowPlan());
  plan->commit_ = commit_rounds;
  plan->buffer_ = buffer_rounds;
  plan->observable_count_ = model.observable_count;
  plan->components_ = std::move(components).value();
  plan->layout_ = std::move(layout);
  const DetectorLayout& lay = plan->layout_;
  plan->rows_ = lay.rows();
  plan->model_detectors_ = model.detector_count;
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

namespace {

// Where the count of a line `repeat N {` sits in the text.
struct RepeatCount {
  size_t begin = 0;
  size_t end = 0;
  uint64_t count = 0;
};

// The repeat lines of the text (blocks are never nested in a model the reader accepts, so each
// is a top-level block); stops after the second.
std::vector<RepeatCount> repeat_counts(std::string_view text) {
  std::vector<RepeatCount> found;
  size_t pos = 0;
  while (pos < text.size() && found.size() < 2) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    size_t i = text.find_first_not_of(" \t", pos);
    if (i < eol && text.compare(i, 6, "repeat") == 0) {
      i += 6;
      while (i < eol && text[i] == ' ') ++i;
      RepeatCount r{i, i, 0};
      // A count too long for 64 bits leaves the block to the reader, which refuses it.
      while (r.end < eol && text[r.end] >= '0' && text[r.end] <= '9' && r.end - r.begin < 19)
        r.count = r.count * 10 + static_cast<uint64_t>(text[r.end++] - '0');
      found.push_back(r);
    }
    pos = eol + 1;
  }
  return found;
}

std::string with_count(std::string_view text, const RepeatCount& r, uint64_t count) {
  std::string out(text.substr(0, r.begin));
  out += std::to_string(count);
  out += text.substr(r.end);
  return out;
}

}  // namespace

Result<std::shared_ptr<const SlidingWindowPlan>, std::string> SlidingWindowPlan::create_folded(
    std::string_view dem_text, uint32_t commit_rounds, uint32_t buffer_rounds) {
  using Plan = std::shared_ptr<const SlidingWindowPlan>;
  if (commit_rounds == 0 || buffer_rounds == 0) return Plan();  // create() gives the error
  const std::vector<RepeatCount> repeats = repeat_counts(dem_text);
  if (repeats.empty() || repeats[0].end == repeats[0].begin) return Plan();
  if (repeats.size() > 1) return fail(std::string("the model has more than one repeat block"));
  const uint64_t n = repeats[0].count;
  const uint64_t c = commit_rounds;
  const uint64_t window = c + buffer_rounds;

  auto layout_for = [&](uint64_t count, dem::DetectorErrorModel& model) -> Result<DetectorLayout, std::string> {
    auto parsed = dem::parse_dem(with_count(dem_text, repeats[0], count));
    if (!parsed.ok()) return fail(parsed.error().message());
    model = std::move(parsed).value();
    return DetectorLayout::from_coordinates(model);
  };
  auto plan_for = [&](uint64_t count) -> Result<std::shared_ptr<const SlidingWindowPlan>, std::string> {
    dem::DetectorErrorModel model;
    auto layout = layout_for(count, model);
    if (!layout.ok()) return fail(std::move(layout).error());
    return create(model, std::move(layout).value(), commit_rounds, buffer_rounds);
  };
  // Rounds per repetition of the body, from the models of one and two repetitions.
  uint64_t body_rounds = 0;
  {
    dem::DetectorErrorModel m1, m2;
    auto one = layout_for(1, m1);
    if (!one.ok()) return fail(std::move(one).error());
    auto two = layout_for(2, m2);
    if (!two.ok()) return fail(std::move(two).error());
    if (two->rows() <= one->rows() || two->columns() != one->columns())
      return fail(std::string("the repeat block's body adds no rounds of the same ancillas"));
    body_rounds = two->rows() - one->rows();
  }
  // Enough repetitions for the opening windows, a steady-state window (an error spans at most
  // buffer_rounds rounds, so a window that far from either end of the block sees only body
  // rounds) and the closing windows; then rounded up so that N - K is a multiple of the commit
  // region (the folded rounds, (N - K) * body_rounds, are then whole window positions).
  const uint64_t k0 = (3 * window + 2 + body_rounds - 1) / body_rounds;
  if (n <= k0 + c) return Plan();
  const uint64_t k = k0 + (n - k0) % c;

  auto small = plan_for(k);
  if (!small.ok()) return fail(std::move(small).error());
  auto larger = plan_for(k + c);
  if (!larger.ok()) return fail(std::move(larger).error());
  const SlidingWindowPlan& a = **small;
  const SlidingWindowPlan& b = **larger;
  const DetectorLayout& lay = a.layout();
  if (b.rows_ != a.rows_ + c * body_rounds || b.layout().columns() != lay.columns())
    return fail(std::string("the repeat block's repetitions do not add rounds evenly"));
  const uint64_t rows = a.rows_ + (n - k) * body_rounds;
  if (rows > UINT32_MAX) return fail(std::string("the repeat count is too large for 32-bit rounds"));

  // The steady-state window: the first that the next window repeats unchanged.
  const auto& wa = a.windows_;
  const auto& wb = b.windows_;
  const size_t extra = body_rounds;  // the larger model has c * body_rounds more rounds
  if (wb.size() != wa.size() + extra) return fail(std::string("the window positions do not repeat with the body"));
  uint32_t at = SlidingWindowPlan::kNoFold;
  for (uint32_t j = 0; j + 1 < wa.size(); ++j)
    if (wa[j].decoder == wa[j + 1].decoder && j + 1 < wa.size() - 1) {
      at = j;
      break;
    }
  if (at == SlidingWindowPlan::kNoFold) return fail(std::string("the windows reach no steady state within the repeat block"));
  // Folding is exact when the larger model decodes as the smaller one with window `at` repeated
  // `extra` more times.
  for (size_t j = 0; j < wb.size(); ++j) {
    const size_t i = j <= at ? j : (j <= at + extra ? at : j - extra);
    if (!same_decoding(wa[i], wb[j])) return fail(std::string("the windows of the repeat block do not repeat exactly"));
  }
  // The buffer's rounds move down by one commit region when a middle window repeats: their cells
  // must sit in the same columns.
  const WindowSpan s = wa[at].span;
  for (uint32_t r = s.first; r + c < s.end; ++r)
    for (uint32_t col = 0; col < lay.columns(); ++col)
      if ((lay.detector(r, col) == DetectorLayout::kNone) !=
          (lay.detector(static_cast<uint32_t>(r + c), col) == DetectorLayout::kNone))
        return fail(std::string("the rounds of the repeat block have different ancillas"));

  std::shared_ptr<SlidingWindowPlan> out(new SlidingWindowPlan(a));
  out->rows_ = static_cast<uint32_t>(rows);
  out->model_detectors_ = a.model_detectors_ + (n - k) / c * (b.model_detectors_ - a.model_detectors_);
  out->fold_at_ = at;
  out->fold_windows_ = static_cast<uint32_t>((n - k) * body_rounds / c);
  return Plan(std::move(out));
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

WindowGraph SlidingWindowPlan::window_graph(WindowSpan span) const {
  std::vector<uint32_t> scratch(layout_.detector_count(), DetectorLayout::kNone);
  return build_window_graph(layout_, components_near(span.first, span.end), observable_count_, span, scratch);
}

SlidingWindowDecoder::~SlidingWindowDecoder() = default;
SlidingWindowDecoder::SlidingWindowDecoder(SlidingWindowDecoder&&) noexcept = default;

uint64_t SlidingWindowDecoder::committed_frame() const noexcept { return parallel_ ? parallel_->committed() : frame_; }

uint32_t SlidingWindowDecoder::threads() const noexcept { return parallel_ ? parallel_->threads() : 0; }

SlidingWindowDecoder::SlidingWindowDecoder(std::shared_ptr<const SlidingWindowPlan> plan, DecodeMethod method,
                                           uint32_t threads)
    : plan_(std::move(plan)), method_(method), events_(plan_->layout()) {
  if (threads > 0) {
    parallel_ = std::make_unique<ParallelWindows>(plan_, method_, threads);
    return;
  }
  size_t largest = 0;
  decoders_.reserve(plan_->decoder_count());
  for (const WindowGraph& w : plan_->windows()) {
    if (w.decoder == decoders_.size()) decoders_.push_back(make_graph_decoder(method_, w.graph));
    largest = std::max(largest, w.detectors.size());
  }
  fired_list_.reserve(largest);
}

uint64_t SlidingWindowDecoder::decode_window(const WindowGraph& window, GraphDecoder& decoder) {
  fired_list_.clear();
  events_.gather(window.span.first, window.span.end, fired_list_);
  const uint64_t mask =
      carry_from_ != nullptr
          ? static_cast<matching::MatchingDecoder&>(decoder).decode_after(*carry_from_, carry_shift_,
                                                                         carry_stable_end_, carry_flips_, fired_list_)
          : decoder.decode(fired_list_);
  carry_from_ = nullptr;
  carry_flips_.clear();
  ++windows_;
  // Matching, a window that commits everything (the shot's last): no later window reads a flip,
  // so its commit is the observables of the matched paths as growth found them, the mask itself.
  if (method_ == DecodeMethod::kMatching && window.span.commit_first == 0 && window.span.commit_end == window.span.end) {
    frame_ ^= mask;
    return mask;
  }
  const uint32_t base = events_.round_base(window.span.first);
  const std::vector<DecodingEdge>& edges = window.graph->edges;
  // Matching reads only the paths that may reach the buffer from the commit region (the window's
  // first nodes): those wholly in the buffer commit nothing, those wholly in the commit region
  // commit their observables and flip nothing.
  uint64_t inside = 0;
  const std::span<const uint32_t> correction =
      method_ == DecodeMethod::kMatching && window.span.commit_first == 0
          ? static_cast<matching::MatchingDecoder&>(decoder).correction_reaching(
                events_.round_base(window.span.commit_end) - base, &inside)
          : decoder.correction();
  frame_ ^= inside;
  for (const uint32_t e : correction) {
    if (!window.committed[e]) continue;
    frame_ ^= edges[e].observables;
    if (const uint32_t detector = window.flips[e]; detector != WindowGraph::kNoFlip) {
      events_.toggle(detector);
      carry_flips_.push_back(events_.rank(detector) - base);
    }
  }
  return mask;
}

Result<SlidingWindowDecoder::Pushed, std::string> SlidingWindowDecoder::push(uint32_t round,
                                                                             std::span<const uint8_t> events,
                                                                             Clock::time_point arrival) {
  const DetectorLayout& layout = plan_->layout();
  if (!round_in_order(round, events.size(), layout.columns(), in_shot_, next_round_))
    return fail(*round_refusal(round, events.size(), layout.columns(), in_shot_, next_round_));
  if (round == 0) {
    if (in_shot_) ++abandoned_;
    in_shot_ = true;
    window_index_ = 0;
    frame_ = 0;
    carry_from_ = nullptr;
    if (parallel_) parallel_->start_shot();
  }
  if (parallel_) return push_parallel(round, events, arrival);
  // A folded plan holds the rounds of window window_index_ offset by `shift`.
  const uint32_t shift = plan_->round_offset(window_index_);
  // Setting the round also clears whatever an earlier shot left there.
  events_.set_round(round - shift, events);
  next_round_ = round + 1;
  ++rounds_;

  const WindowGraph& window = plan_->windows()[plan_->window_of(window_index_)];
  if (next_round_ - shift != window.span.end) return Pushed{frame_, false};
  if (arrival == Clock::time_point{}) arrival = Clock::now();
  const bool closing = window.span.end == layout.rows();
  decode_window(window, *decoders_[window.decoder]);
  const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - arrival).count();
  const auto ns = static_cast<uint64_t>(std::max<int64_t>(waited, 0));
  if (!closing) {
    if (method_ == DecodeMethod::kMatching) {
      // The next window holds this one's rounds from first + commit on; a node less than the
      // longest span before this window's end has edges into rounds this one does not hold.
      const uint32_t first = window.span.first, c = plan_->commit_rounds();
      const uint32_t stable = std::max(first + c, window.span.end - std::min(window.span.end, plan_->longest_span()));
      carry_shift_ = events_.round_base(first + c) - events_.round_base(first);
      carry_stable_end_ = events_.round_base(stable) - events_.round_base(first);
      if (carry_.value_or(carry_stable_end_ - carry_shift_ >= kCarryFrom))
        carry_from_ = static_cast<matching::MatchingDecoder*>(decoders_[window.decoder].get());
    }
    ++window_index_;
    if (plan_->round_offset(window_index_) != shift) {
      // The next window decodes on the same rounds of the plan: move the buffer's events (the
      // rounds already pushed) down by one commit region.
      const uint32_t c = plan_->commit_rounds();
      if (window.span.end - window.span.first > c) events_.move_down(window.span.first, window.span.end - c, c);
    }
    commit_latency_.record(ns);
    return Pushed{frame_, false};
  }
  shot_latency_.record(ns);
  ++shots_;
  in_shot_ = false;
  next_round_ = 0;
  return Pushed{frame_, true};
}

Result<SlidingWindowDecoder::Pushed, std::string> SlidingWindowDecoder::push_parallel(uint32_t round,
                                                                                      std::span<const uint8_t> events,
                                                                                      Clock::time_point arrival) {
  if (arrival == Clock::time_point{}) arrival = Clock::now();
  parallel_->push_round(round, events, arrival);
  next_round_ = round + 1;
  ++rounds_;
  if (next_round_ < plan_->rounds_per_shot()) return Pushed{parallel_->committed(), false};
  const uint64_t before = parallel_->windows_decoded();
  frame_ = parallel_->end_shot(commit_latency_);
  windows_ += parallel_->windows_decoded() - before;
  const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - arrival).count();
  shot_latency_.record(static_cast<uint64_t>(std::max<int64_t>(waited, 0)));
  ++shots_;
  in_shot_ = false;
  next_round_ = 0;
  return Pushed{frame_, true};
}

std::optional<uint64_t> SlidingWindowDecoder::finish() {
  if (!in_shot_) return std::nullopt;
  if (parallel_) {
    const uint64_t before = parallel_->windows_decoded();
    frame_ = parallel_->finish_early(next_round_, commit_latency_);
    windows_ += parallel_->windows_decoded() - before;
    ++shots_;
    in_shot_ = false;
    next_round_ = 0;
    return frame_;
  }
  const uint32_t shift = plan_->round_offset(window_index_);
  const uint32_t first = plan_->windows()[plan_->window_of(window_index_)].span.first;
  if (next_round_ - shift > first) {
    const WindowGraph window = plan_->partial_window(first, next_round_ - shift);
    const auto decoder = make_graph_decoder(method_, window.graph);
    carry_from_ = nullptr;
    decode_window(window, *decoder);
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
