#include "ostrel/decode/belief/relay_bp_decoder.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ostrel/util/memory_budget.h"

namespace ostrel::decode::belief {
namespace {

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Relay legs in a row that meet no syndrome on a neighbourhood before its relay ends.
constexpr uint32_t kNeighbourhoodTries = 2;
// The same once a solution is kept.
constexpr uint32_t kNeighbourhoodMisses = 10;

}  // namespace

std::optional<std::string> refuse_options(const RelayBpOptions& o) {
  if (!(std::isfinite(o.gamma0) && std::isfinite(o.gamma_min) && std::isfinite(o.gamma_max)))
    return std::string("gamma0, gamma_min and gamma_max must be finite numbers");
  if (o.gamma_min > o.gamma_max) return std::string("gamma_min must not exceed gamma_max");
  if (o.solutions == 0) return std::string("solutions must be at least 1");
  if (!(o.ms_scaling_factor > 0.0 && o.ms_scaling_factor <= 1.0))
    return std::string("ms_scaling_factor must be in (0, 1] for relay-bp");
  return std::nullopt;
}

Result<RelayBpDecoder, std::string> RelayBpDecoder::create(const dem::DetectorErrorModel& dem,
                                                           const RelayBpOptions& options) {
  if (auto refusal = refuse_options(options)) return fail(std::move(*refusal));
  auto matrix = build_check_matrix(dem, decoding_memory_budget());
  if (!matrix) return fail(std::move(matrix).error());
  BpOptions bp{.max_iter = options.pre_iter, .method = BpMethod::kMinSum,
               .ms_scaling_factor = options.ms_scaling_factor, .schedule = options.schedule};
  return RelayBpDecoder(BeliefPropagation(std::move(*matrix), bp), options);
}

RelayBpDecoder::Local::Local(std::shared_ptr<const CheckMatrix> whole, const BpOptions& options)
    : region(std::move(whole)), bp(region.matrix(), options) {}

RelayBpDecoder::Local::Local(const Local& other) : region(other.region), bp(region.matrix(), other.bp.options()) {}

RelayBpDecoder::Local& RelayBpDecoder::Local::operator=(const Local& other) {
  if (this != &other) {
    region = other.region;
    bp = BeliefPropagation(region.matrix(), other.bp.options());
  }
  return *this;
}

RelayBpDecoder::RelayBpDecoder(BeliefPropagation bp, const RelayBpOptions& options)
    : bp_(std::move(bp)), options_(options) {
  const CheckMatrix& h = bp_.matrix();
  gamma_.assign(h.column_count, 0.0f);
  correction_.reserve(h.column_count);
  lone_column_.assign(h.row_count, kNoColumn);
  if (options_.complete_lone_rows)
    for (uint32_t c = 0; c < h.column_count; ++c) {
      if (h.column_start[c + 1] - h.column_start[c] != 1) continue;
      uint32_t& lone = lone_column_[h.column_rows[h.column_start[c]]];
      if (lone == kNoColumn || h.priors[c] > h.priors[lone]) lone = c;
    }
  lone_.reserve(h.row_count);
  // A column likelier than not is no longer clear when left out.
  if (options_.neighbourhood && !bp_.matrix().has_likely_column) {
    const BpOptions& o = bp_.options();
    local_.emplace(std::shared_ptr<const CheckMatrix>(bp_.matrix_ptr()), o);
  }
}

void RelayBpDecoder::draw_strengths(uint32_t leg, uint32_t columns, const Neighbourhood* region) {
  const double low = options_.gamma_min, span = options_.gamma_max - options_.gamma_min;
  const uint64_t base = mix(options_.seed ^ mix(leg));
  for (uint32_t j = 0; j < columns; ++j) {
    const uint64_t whole = region ? region->whole_column(j) : j;
    gamma_[j] = static_cast<float>(low + span * static_cast<double>(mix(base + whole) >> 11) * 0x1.0p-53);
  }
}

void RelayBpDecoder::take(const BeliefPropagation& bp, const Neighbourhood* region) {
  weight_ = bp.hard_weight();
  observables_ = bp.hard_observables();
  correction_.clear();
  const auto hard = bp.hard_decision();
  for (uint32_t c = 0; c < hard.size(); ++c)
    if (hard[c]) correction_.push_back(region ? region->whole_column(c) : c);
}

bool RelayBpDecoder::solved(bool converged, const BeliefPropagation& bp, const Neighbourhood* region) {
  lone_.clear();
  if (converged) return true;
  if (!options_.complete_lone_rows) return false;
  const auto unmet = bp.unmet_rows();
  for (uint32_t r = 0; r < unmet.size(); ++r) {
    if (!unmet[r]) continue;
    const uint32_t c = lone_column_[region ? region->whole_row(r) : r];
    if (c == kNoColumn) return false;
    lone_.push_back(c);
  }
  return true;
}

void RelayBpDecoder::consider(const BeliefPropagation& bp, const Neighbourhood* region) {
  ++found_;
  completed_ += !lone_.empty();
  // A lone column already in the decision leaves it (its row was unmet with it in).
  const CheckMatrix& h = bp_.matrix();
  const auto llr = bp_.prior_llrs();
  double weight = bp.hard_weight();
  for (const uint32_t c : lone_) {
    const uint32_t local = region ? region->local_column(c) : c;
    const bool in = local != kNoColumn && bp.hard_decision()[local] != 0;
    weight += in ? -llr[c] : llr[c];
  }
  if (found_ > 1 && weight >= weight_) return;
  take(bp, region);
  for (const uint32_t c : lone_) {
    const auto at = std::find(correction_.begin(), correction_.end(), c);
    if (at == correction_.end()) correction_.push_back(c);
    else correction_.erase(at);
    observables_ ^= h.observables[c];
  }
  weight_ = weight;
}

void RelayBpDecoder::run_legs(BeliefPropagation& bp, const Neighbourhood* region) {
  bp.begin();
  ++legs_run_;
  const bool converged = bp.run(options_.pre_iter, options_.gamma0);
  first_converged_ = converged;
  if (solved(converged, bp, region)) consider(bp, region);
  iterations_run_ += bp.iterations();
  const auto columns = static_cast<uint32_t>(bp.matrix().column_count);
  const std::span<const float> gamma(gamma_.data(), columns);
  // On a neighbourhood, relay legs that keep missing the syndrome end the relay: with no solution
  // yet the neighbourhood most likely lacks a column the correction needs (the whole model takes
  // over), and with some they would run every leg for solutions it does not hold.
  uint32_t fruitless = 0;
  for (uint32_t leg = 1; leg <= options_.legs && found_ < options_.solutions; ++leg) {
    if (region && fruitless == (found_ == 0 ? kNeighbourhoodTries : kNeighbourhoodMisses)) break;
    draw_strengths(leg, columns, region);
    ++legs_run_;
    if (solved(bp.run(options_.num_iter, gamma), bp, region)) {
      consider(bp, region);
      fruitless = 0;
    } else {
      ++fruitless;
    }
    iterations_run_ += bp.iterations();
  }
}

uint64_t RelayBpDecoder::decode(std::span<const uint32_t> fired) {
  bp_.set_syndrome(fired);
  found_ = 0;
  completed_ = 0;
  lone_.clear();
  legs_run_ = 0;
  iterations_run_ = 0;
  first_converged_ = false;
  whole_run_ = false;
  correction_.clear();
  weight_ = 0;
  observables_ = 0;
  if (bp_.syndrome_empty() && !bp_.matrix().has_likely_column) return 0;
  if (local_) {
    local_->region.build(bp_.fired());
    const uint32_t columns = local_->region.matrix()->column_count;
    const auto whole_llrs = bp_.prior_llrs();
    local_->prior_llrs.resize(columns);
    for (uint32_t j = 0; j < columns; ++j) local_->prior_llrs[j] = whole_llrs[local_->region.whole_column(j)];
    local_->bp.rebind(local_->prior_llrs);
    local_->bp.set_syndrome(local_->region.fired());
    run_legs(local_->bp, &local_->region);
    if (found_ > 0) return observables_;
  }
  whole_run_ = true;
  run_legs(bp_, nullptr);
  // No leg met the syndrome: the last leg's guess is all there is.
  if (found_ == 0) take(bp_, nullptr);
  return observables_;
}

}  // namespace ostrel::decode::belief
