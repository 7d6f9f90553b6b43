#include "ostrel/decode/belief/belief_propagation.h"

#include <algorithm>
#include <cmath>

namespace ostrel::decode::belief {
namespace {

// Bounds messages: a check of degree one sends its variable this much (certainty, yet finite so
// that sums and differences stay numbers), and nothing grows past it over long relays.
constexpr double kMaxMessage = 1e6;
// tanh products are kept below 1 so that 2 atanh stays finite (about 37).
constexpr double kMaxTanh = 1.0 - 1e-16;

double prior_llr(double p) {
  const double q = std::clamp(p, 1e-300, 1.0);
  if (q >= 1.0) return -kMaxMessage;
  return std::clamp(std::log((1 - q) / q), -kMaxMessage, kMaxMessage);
}

}  // namespace

BeliefPropagation::BeliefPropagation(std::shared_ptr<const CheckMatrix> matrix, const BpOptions& options)
    : matrix_(std::move(matrix)), options_(options) {
  const CheckMatrix& h = *matrix_;
  prior_.resize(h.column_count);
  for (uint32_t c = 0; c < h.column_count; ++c) prior_[c] = prior_llr(h.priors[c]);
  bias_ = prior_;
  marginal_ = prior_;
  hard_.assign(h.column_count, 0);
  to_check_.assign(h.entry_count(), 0.0);
  to_variable_.assign(h.entry_count(), 0.0);
  uint32_t longest = 0;
  for (uint32_t r = 0; r < h.row_count; ++r) longest = std::max(longest, h.row_start[r + 1] - h.row_start[r]);
  scratch_.assign(longest, 0.0);
  scratch2_.assign(longest, 0.0);
  syndrome_.assign(h.row_count, 0);
}

void BeliefPropagation::set_syndrome(std::span<const uint32_t> fired) {
  for (const uint32_t r : fired_) syndrome_[r] = 0;
  fired_.clear();
  for (const uint32_t r : fired) {
    if (r >= matrix_->row_count) continue;
    syndrome_[r] ^= 1;
    fired_.push_back(r);
  }
  // Keep each fired row once: a row listed an even number of times is not fired.
  size_t kept = 0;
  for (const uint32_t r : fired_) {
    if (syndrome_[r] == 1) {
      syndrome_[r] = 3;
      fired_[kept++] = r;
    }
  }
  fired_.resize(kept);
  for (const uint32_t r : fired_) syndrome_[r] = 1;
}

void BeliefPropagation::begin() {
  const CheckMatrix& h = *matrix_;
  std::fill(to_variable_.begin(), to_variable_.end(), 0.0);
  for (size_t k = 0; k < to_check_.size(); ++k) to_check_[k] = prior_[h.row_columns[k]];
  std::copy(prior_.begin(), prior_.end(), marginal_.begin());
  std::copy(prior_.begin(), prior_.end(), bias_.begin());
  for (uint32_t c = 0; c < h.column_count; ++c) hard_[c] = prior_[c] < 0;
  iterations_ = 0;
  total_iterations_ = 0;
}

bool BeliefPropagation::decode() {
  begin();
  if (converged()) return true;
  return iterate(options_.max_iter == 0 ? matrix_->column_count : options_.max_iter, Memory::kNone, 0.0, {});
}

bool BeliefPropagation::run(uint32_t iterations, std::span<const double> gamma) {
  return iterate(iterations, Memory::kPerColumn, 0.0, gamma);
}

bool BeliefPropagation::run(uint32_t iterations, double gamma) {
  return iterate(iterations, gamma == 0.0 ? Memory::kNone : Memory::kUniform, gamma, {});
}

bool BeliefPropagation::iterate(uint32_t iterations, Memory memory, double gamma, std::span<const double> gammas) {
  iterations_ = 0;
  for (uint32_t t = 0; t < iterations; ++t) {
    ++iterations_;
    ++total_iterations_;
    double alpha = 1.0;
    if (options_.method == BpMethod::kMinSum)
      alpha = options_.ms_scaling_factor == 0.0 ? 1.0 - std::ldexp(1.0, -static_cast<int>(std::min(total_iterations_, 60u)))
                                                : options_.ms_scaling_factor;
    if (options_.schedule == BpSchedule::kParallel) {
      check_pass_parallel(alpha);
      variable_pass_parallel(memory, gamma, gammas);
    } else {
      serial_pass(alpha, memory, gamma, gammas);
    }
    if (converged()) return true;
  }
  return false;
}

void BeliefPropagation::row_messages(uint32_t begin, uint32_t end, bool flipped, double alpha, const double* in,
                                     double* out) {
  const uint32_t n = end - begin;
  if (options_.method == BpMethod::kMinSum) {
    double min1 = kMaxMessage, min2 = kMaxMessage;
    uint32_t at = n;
    bool negative = flipped;
    for (uint32_t i = 0; i < n; ++i) {
      const double v = in[i];
      negative ^= v < 0;
      const double a = std::fabs(v);
      if (a < min1) {
        min2 = min1;
        min1 = a;
        at = i;
      } else if (a < min2) {
        min2 = a;
      }
    }
    min1 *= alpha;
    min2 *= alpha;
    for (uint32_t i = 0; i < n; ++i) {
      const double magnitude = i == at ? min2 : min1;
      out[i] = (negative ^ (in[i] < 0)) ? -magnitude : magnitude;
    }
    return;
  }
  // Product-sum: tanh products of every other entry, from prefix and suffix products.
  double* t = scratch2_.data();
  for (uint32_t i = 0; i < n; ++i) t[i] = std::tanh(0.5 * in[i]);
  double prefix = 1.0;
  for (uint32_t i = 0; i < n; ++i) {
    out[i] = prefix;
    prefix *= t[i];
  }
  double suffix = flipped ? -1.0 : 1.0;
  for (uint32_t i = n; i-- > 0;) {
    const double x = std::clamp(out[i] * suffix, -kMaxTanh, kMaxTanh);
    out[i] = 2.0 * std::atanh(x);
    suffix *= t[i];
  }
}

void BeliefPropagation::check_pass_parallel(double alpha) {
  const CheckMatrix& h = *matrix_;
  for (uint32_t r = 0; r < h.row_count; ++r) {
    const uint32_t b = h.row_start[r], e = h.row_start[r + 1];
    if (b == e) continue;
    row_messages(b, e, syndrome_[r] != 0, alpha, to_check_.data() + b, to_variable_.data() + b);
  }
}

void BeliefPropagation::variable_pass_parallel(Memory memory, double gamma, std::span<const double> gammas) {
  const CheckMatrix& h = *matrix_;
  for (uint32_t c = 0; c < h.column_count; ++c) {
    double bias = prior_[c];
    if (memory == Memory::kUniform) bias = (1 - gamma) * prior_[c] + gamma * marginal_[c];
    else if (memory == Memory::kPerColumn) bias = (1 - gammas[c]) * prior_[c] + gammas[c] * marginal_[c];
    const auto entries = h.entries_of(c);
    double sum = bias;
    for (const uint32_t k : entries) sum += to_variable_[k];
    for (const uint32_t k : entries) to_check_[k] = sum - to_variable_[k];
    marginal_[c] = sum;
    hard_[c] = sum < 0;
  }
}

void BeliefPropagation::serial_pass(double alpha, Memory memory, double gamma, std::span<const double> gammas) {
  const CheckMatrix& h = *matrix_;
  // This iteration's bias; the marginals hold the last one, so they move by the difference.
  for (uint32_t c = 0; c < h.column_count; ++c) {
    const double g = memory == Memory::kNone ? 0.0 : memory == Memory::kUniform ? gamma : gammas[c];
    const double bias = g == 0.0 ? prior_[c] : (1 - g) * prior_[c] + g * marginal_[c];
    marginal_[c] += bias - bias_[c];
    bias_[c] = bias;
  }
  double* in = scratch_.data();
  for (uint32_t r = 0; r < h.row_count; ++r) {
    const uint32_t b = h.row_start[r], e = h.row_start[r + 1];
    if (b == e) continue;
    for (uint32_t k = b; k < e; ++k) in[k - b] = marginal_[h.row_columns[k]] - to_variable_[k];
    double* out = to_variable_.data() + b;
    row_messages(b, e, syndrome_[r] != 0, alpha, in, out);
    for (uint32_t k = b; k < e; ++k) marginal_[h.row_columns[k]] = in[k - b] + out[k - b];
  }
  for (uint32_t c = 0; c < h.column_count; ++c) hard_[c] = marginal_[c] < 0;
}

bool BeliefPropagation::converged() const {
  const CheckMatrix& h = *matrix_;
  for (uint32_t r = 0; r < h.row_count; ++r) {
    uint8_t parity = syndrome_[r];
    for (uint32_t k = h.row_start[r]; k < h.row_start[r + 1]; ++k) parity ^= hard_[h.row_columns[k]];
    if (parity) return false;
  }
  return true;
}

uint64_t BeliefPropagation::hard_observables() const {
  uint64_t mask = 0;
  for (uint32_t c = 0; c < matrix_->column_count; ++c)
    if (hard_[c]) mask ^= matrix_->observables[c];
  return mask;
}

double BeliefPropagation::hard_weight() const {
  double w = 0;
  for (uint32_t c = 0; c < matrix_->column_count; ++c)
    if (hard_[c]) w += prior_[c];
  return w;
}

}  // namespace ostrel::decode::belief
