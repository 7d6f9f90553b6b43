#include "ostrel/decode/belief/relay_bp_decoder.h"

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

RelayBpDecoder::RelayBpDecoder(BeliefPropagation bp, const RelayBpOptions& options)
    : bp_(std::move(bp)), options_(options) {
  gamma_.assign(bp_.matrix().column_count, 0.0f);
  correction_.reserve(bp_.matrix().column_count);
}

void RelayBpDecoder::draw_strengths(uint32_t leg) {
  const double low = options_.gamma_min, span = options_.gamma_max - options_.gamma_min;
  const uint64_t base = mix(options_.seed ^ mix(leg));
  for (size_t j = 0; j < gamma_.size(); ++j)
    gamma_[j] = static_cast<float>(low + span * static_cast<double>(mix(base + j) >> 11) * 0x1.0p-53);
}

void RelayBpDecoder::consider() {
  ++found_;
  const double weight = bp_.hard_weight();
  if (found_ > 1 && weight >= weight_) return;
  weight_ = weight;
  observables_ = bp_.hard_observables();
  correction_.clear();
  const auto hard = bp_.hard_decision();
  for (uint32_t c = 0; c < hard.size(); ++c)
    if (hard[c]) correction_.push_back(c);
}

uint64_t RelayBpDecoder::decode(std::span<const uint32_t> fired) {
  bp_.set_syndrome(fired);
  found_ = 0;
  legs_run_ = 0;
  iterations_run_ = 0;
  first_converged_ = false;
  correction_.clear();
  weight_ = 0;
  observables_ = 0;
  if (bp_.syndrome_empty() && !bp_.matrix().has_likely_column) return 0;
  bp_.begin();
  ++legs_run_;
  first_converged_ = bp_.run(options_.pre_iter, options_.gamma0);
  if (first_converged_) consider();
  iterations_run_ += bp_.iterations();
  for (uint32_t leg = 1; leg <= options_.legs && found_ < options_.solutions; ++leg) {
    draw_strengths(leg);
    ++legs_run_;
    if (bp_.run(options_.num_iter, gamma_)) consider();
    iterations_run_ += bp_.iterations();
  }
  if (found_ == 0) {
    // No leg met the syndrome: the last leg's guess is all there is.
    weight_ = bp_.hard_weight();
    observables_ = bp_.hard_observables();
    const auto hard = bp_.hard_decision();
    for (uint32_t c = 0; c < hard.size(); ++c)
      if (hard[c]) correction_.push_back(c);
  }
  return observables_;
}

}  // namespace ostrel::decode::belief
