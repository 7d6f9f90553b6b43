#include "ostrel/driver/model_window.h"

#include <algorithm>
#include <utility>

#include "ostrel/decode/model_checks.h"
#include "ostrel/decode/round_order.h"

namespace ostrel::driver {
namespace {

constexpr uint32_t kNone = decode::DetectorLayout::kNone;

// Whether two window models decode alike: the same errors, targets, components and marks.
bool same_model(const dem::DetectorErrorModel& a, const dem::DetectorErrorModel& b) {
  if (a.detector_count != b.detector_count || a.observable_count != b.observable_count ||
      a.error_records.size() != b.error_records.size() || a.detector_targets != b.detector_targets ||
      a.observable_targets != b.observable_targets || a.component_breaks.size() != b.component_breaks.size() ||
      a.detectors.size() != b.detectors.size())
    return false;
  for (size_t i = 0; i < a.error_records.size(); ++i) {
    const auto &x = a.error_records[i], &y = b.error_records[i];
    if (x.probability != y.probability || x.detectors_begin != y.detectors_begin ||
        x.detectors_end != y.detectors_end || x.observables_end != y.observables_end)
      return false;
  }
  for (size_t i = 0; i < a.component_breaks.size(); ++i) {
    const auto &x = a.component_breaks[i], &y = b.component_breaks[i];
    if (x.error != y.error || x.detectors != y.detectors || x.observables != y.observables) return false;
  }
  for (size_t i = 0; i < a.detectors.size(); ++i)
    if (a.detectors[i].id != b.detectors[i].id || a.detectors[i].fourth_coord != b.detectors[i].fourth_coord)
      return false;
  return true;
}

}  // namespace

Result<std::shared_ptr<const ModelWindowPlan>, DriverError> ModelWindowPlan::create(
    const dem::DetectorErrorModel& model, decode::DetectorLayout layout, uint32_t commit_rounds,
    uint32_t buffer_rounds, const MethodSpec& method, const DecoderOptions& options) {
  if (commit_rounds == 0) return fail(DriverError::invalid("commit_rounds must be at least 1"));
  if (buffer_rounds == 0) return fail(DriverError::invalid("buffer_rounds must be at least 1"));
  if (auto refused = decode::refuse_undecodable(model)) return fail(DriverError::invalid(std::move(*refused)));

  std::shared_ptr<ModelWindowPlan> plan(new ModelWindowPlan());
  plan->layout_ = std::move(layout);
  plan->commit_ = commit_rounds;
  plan->buffer_ = buffer_rounds;
  plan->detector_count_ = model.detector_count;
  plan->observable_count_ = model.observable_count;
  plan->method_ = &method;
  plan->options_ = options;
  plan->model_ = model;
  const decode::DetectorLayout& lay = plan->layout_;
  const dem::DetectorErrorModel& m = plan->model_;

  // Each error's earliest round, and the longest span any error has.
  std::vector<uint32_t> earliest(m.error_count(), kNone);
  uint32_t longest = 0;
  for (size_t i = 0; i < m.error_count(); ++i) {
    if (!(m.error_records[i].probability > 0.0)) continue;  // never occurs: no window needs it
    uint32_t lo = kNone, hi = 0;
    for (const uint32_t d : m.error(i).detectors) {
      const uint32_t r = lay.round_of(d);
      lo = std::min(lo, r);
      hi = std::max(hi, r);
    }
    if (lo == kNone) continue;  // no detector: nothing in any window sees it
    earliest[i] = lo;
    longest = std::max(longest, hi - lo);
  }
  if (longest > buffer_rounds)
    return fail(DriverError::invalid("buffer_rounds (" + std::to_string(buffer_rounds) +
                                     ") must be at least the longest time span of an error in the model (" +
                                     std::to_string(longest) + " rounds)"));
  plan->round_start_.assign(size_t{lay.rows()} + 1, 0);
  for (const uint32_t r : earliest)
    if (r != kNone) ++plan->round_start_[r + 1];
  for (size_t r = 0; r < lay.rows(); ++r) plan->round_start_[r + 1] += plan->round_start_[r];
  plan->by_round_.resize(plan->round_start_.back());
  {
    std::vector<size_t> next(plan->round_start_.begin(), plan->round_start_.end() - 1);
    for (size_t i = 0; i < earliest.size(); ++i)
      if (earliest[i] != kNone) plan->by_round_[next[earliest[i]]++] = static_cast<uint32_t>(i);
  }
  plan->declared_.assign(m.detector_count, -1);
  for (size_t k = 0; k < m.detectors.size(); ++k)
    if (m.detectors[k].id < m.detector_count && plan->declared_[m.detectors[k].id] < 0)
      plan->declared_[m.detectors[k].id] = static_cast<int32_t>(k);

  std::vector<dem::DetectorErrorModel> distinct;
  const uint64_t rows = lay.rows();
  const uint64_t span = uint64_t{commit_rounds} + buffer_rounds;
  for (uint64_t first = 0;; first += commit_rounds) {
    const bool closing = first + span >= rows;
    const auto end = static_cast<uint32_t>(closing ? rows : first + span);
    Window w;
    dem::DetectorErrorModel sub = plan->window_model(static_cast<uint32_t>(first), end, w);
    if (!closing) w.commit_end = static_cast<uint32_t>(first + commit_rounds);
    const auto same = std::find_if(distinct.begin(), distinct.end(),
                                   [&](const dem::DetectorErrorModel& d) { return same_model(d, sub); });
    w.decoder = static_cast<uint32_t>(same - distinct.begin());
    if (same == distinct.end()) {
      auto made = method.make(sub, options);
      if (!made.ok()) {
        DriverError e = std::move(made).error();
        e.message = "the window of rounds " + std::to_string(first) + " to " + std::to_string(end - 1) + ": " +
                    e.message;
        return fail(std::move(e));
      }
      if (!(*made)->reports_correction())
        return fail(DriverError::invalid("the sliding window cannot decode with '" + std::string(method.name) +
                                         "': it takes " + listed_method_names() +
                                         " (it commits the errors a window's correction chose, which this "
                                         "decoder does not report)"));
      plan->decoders_.push_back(std::move(made).value());
      distinct.push_back(std::move(sub));
    }
    plan->windows_.push_back(std::move(w));
    if (closing) break;
  }
  if (auto unknown = options.unread(method.name)) return fail(DriverError::invalid(std::move(*unknown)));
  return std::shared_ptr<const ModelWindowPlan>(std::move(plan));
}

dem::DetectorErrorModel ModelWindowPlan::window_model(uint32_t first, uint32_t end, Window& w) const {
  const decode::DetectorLayout& lay = layout_;
  const dem::DetectorErrorModel& m = model_;
  dem::DetectorErrorModel sub;
  w.first = first;
  w.end = end;
  w.commit_end = end;
  w.detectors.clear();
  w.from_rank.clear();
  for (uint32_t r = first; r < end; ++r)
    for (const uint32_t det : lay.row(r))
      if (det != kNone) w.detectors.push_back(det);
  std::vector<uint32_t> by_rank = w.detectors;
  std::sort(w.detectors.begin(), w.detectors.end());
  std::vector<uint32_t> to_local(m.detector_count, kNone);
  for (uint32_t local = 0; local < w.detectors.size(); ++local) to_local[w.detectors[local]] = local;
  if (by_rank != w.detectors) {
    w.from_rank.resize(by_rank.size());
    for (size_t k = 0; k < by_rank.size(); ++k) w.from_rank[k] = to_local[by_rank[k]];
  }
  sub.detector_count = w.detectors.size();
  sub.observable_count = observable_count_;
  for (uint32_t local = 0; local < w.detectors.size(); ++local) {
    const int32_t k = declared_[w.detectors[local]];
    if (k < 0 || !m.detectors[static_cast<size_t>(k)].fourth_coord) continue;
    dem::DemDetector d;
    d.id = local;
    d.fourth_coord = m.detectors[static_cast<size_t>(k)].fourth_coord;
    sub.detectors.push_back(d);
  }

  // The `^` breaks of each error sit in order in the model's list: find error i's from there.
  auto breaks_of = [&](uint32_t i) {
    const auto& all = m.component_breaks;
    const auto lo = std::lower_bound(all.begin(), all.end(), i,
                                     [](const dem::ComponentBreak& b, uint32_t e) { return b.error < e; });
    auto hi = lo;
    while (hi != all.end() && hi->error == i) ++hi;
    return std::span(all).subspan(static_cast<size_t>(lo - all.begin()), static_cast<size_t>(hi - lo));
  };
  // The errors in the model's order.
  std::vector<uint32_t> errors(by_round_.begin() + static_cast<ptrdiff_t>(round_start_[first]),
                               by_round_.begin() + static_cast<ptrdiff_t>(round_start_[end]));
  std::sort(errors.begin(), errors.end());
  for (const uint32_t i : errors) {
    const auto& rec = m.error_records[i];
    const auto index = static_cast<uint32_t>(sub.error_records.size());
    dem::DetectorErrorModel::ErrorRecord out{rec.probability, static_cast<uint32_t>(sub.detector_targets.size()), 0,
                                             static_cast<uint32_t>(sub.observable_targets.size()), 0};
    const auto breaks = breaks_of(i);
    uint32_t d_from = rec.detectors_begin, o_from = rec.observables_begin;
    bool any = false;
    for (size_t c = 0; c <= breaks.size(); ++c) {
      const uint32_t d_to = c < breaks.size() ? breaks[c].detectors : rec.detectors_end;
      const uint32_t o_to = c < breaks.size() ? breaks[c].observables : rec.observables_end;
      bool kept = d_from == d_to;  // a component of observables only stays as it is
      for (uint32_t t = d_from; t < d_to; ++t) kept |= to_local[m.detector_targets[t]] != kNone;
      if (kept) {
        // A component wholly past the window is cut with its observables.
        if (any)
          sub.component_breaks.push_back({index, static_cast<uint32_t>(sub.detector_targets.size()),
                                          static_cast<uint32_t>(sub.observable_targets.size())});
        for (uint32_t t = d_from; t < d_to; ++t)
          if (const uint32_t local = to_local[m.detector_targets[t]]; local != kNone)
            sub.detector_targets.push_back(local);
        sub.observable_targets.insert(sub.observable_targets.end(), m.observable_targets.begin() + o_from,
                                      m.observable_targets.begin() + o_to);
        any = true;
      }
      d_from = d_to;
      o_from = o_to;
    }
    out.detectors_end = static_cast<uint32_t>(sub.detector_targets.size());
    out.observables_end = static_cast<uint32_t>(sub.observable_targets.size());
    sub.error_records.push_back(out);
  }
  return sub;
}

ModelWindowDecoder::ModelWindowDecoder(std::shared_ptr<const ModelWindowPlan> plan)
    : plan_(std::move(plan)), events_(plan_->layout()) {
  decoders_.reserve(plan_->decoder_count());
  for (uint32_t i = 0; i < plan_->decoder_count(); ++i) decoders_.push_back(plan_->decoder(i).clone());
  size_t largest = 0;
  for (const auto& w : plan_->windows()) largest = std::max(largest, w.detectors.size());
  fired_.reserve(largest);
}

ModelWindowDecoder::~ModelWindowDecoder() = default;
ModelWindowDecoder::ModelWindowDecoder(ModelWindowDecoder&&) noexcept = default;

// Commits the pieces of a window's correction that start in its commit rounds.
class ModelWindowDecoder::Committer final : public CorrectionSink {
 public:
  Committer(ModelWindowDecoder& d, const ModelWindowPlan::Window& w) : d_(d), w_(w) {}
  void piece(std::span<const uint32_t> detectors, uint64_t observables) override {
    const decode::DetectorLayout& layout = d_.plan_->layout();
    uint32_t earliest = kNone;
    for (const uint32_t local : detectors) earliest = std::min(earliest, layout.round_of(w_.detectors[local]));
    if (earliest >= w_.commit_end) return;
    d_.frame_ ^= observables;
    for (const uint32_t local : detectors)
      if (layout.round_of(w_.detectors[local]) >= w_.commit_end) d_.events_.toggle(w_.detectors[local]);
  }

 private:
  ModelWindowDecoder& d_;
  const ModelWindowPlan::Window& w_;
};

void ModelWindowDecoder::decode_window(const ModelWindowPlan::Window& window, ShotDecoder& decoder) {
  fired_.clear();
  events_.gather(window.first, window.end, fired_);
  if (!window.from_rank.empty()) {
    for (uint32_t& f : fired_) f = window.from_rank[f];
    std::sort(fired_.begin(), fired_.end());
  }
  ++windows_;
  // A window no correction explains (a method that refuses such shots) commits nothing.
  if (!decoder.decode(fired_).ok()) return;
  Committer committer(*this, window);
  decoder.report_correction(committer);
}

Result<ModelWindowDecoder::Pushed, std::string> ModelWindowDecoder::push(uint32_t round,
                                                                         std::span<const uint8_t> events,
                                                                         Clock::time_point arrival) {
  const decode::DetectorLayout& layout = plan_->layout();
  if (auto refused = decode::round_refusal(round, events.size(), layout.columns(), in_shot_, next_round_))
    return fail(std::move(*refused));
  if (round == 0) {
    if (in_shot_) ++abandoned_;
    in_shot_ = true;
    window_index_ = 0;
    frame_ = 0;
  }
  events_.set_round(round, events);
  next_round_ = round + 1;
  ++rounds_;
  const ModelWindowPlan::Window& window = plan_->windows()[window_index_];
  if (next_round_ != window.end) return Pushed{frame_, false};
  decode_window(window, *decoders_[window.decoder]);
  const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - arrival).count();
  const auto ns = static_cast<uint64_t>(std::max<int64_t>(waited, 0));
  if (window.end != layout.rows()) {
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

std::optional<uint64_t> ModelWindowDecoder::finish() {
  if (!in_shot_) return std::nullopt;
  const uint32_t first = plan_->windows()[window_index_].first;
  if (next_round_ > first) {
    ModelWindowPlan::Window window;
    const dem::DetectorErrorModel sub = plan_->window_model(first, next_round_, window);
    // The method took every full window's model; a shorter one it refuses keeps the frame so far.
    // (A copy of the options: reading marks them, and the plan may be shared between threads.)
    const DecoderOptions options = plan_->options();
    if (auto made = plan_->method().make(sub, options); made.ok()) decode_window(window, **made);
  }
  ++shots_;
  in_shot_ = false;
  next_round_ = 0;
  return frame_;
}

void ModelWindowDecoder::clear_statistics() noexcept {
  rounds_ = windows_ = shots_ = abandoned_ = 0;
  commit_latency_.clear();
  shot_latency_.clear();
}

}  // namespace ostrel::driver
