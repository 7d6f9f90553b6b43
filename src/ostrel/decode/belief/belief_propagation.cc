#include "ostrel/decode/belief/belief_propagation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

namespace ostrel::decode::belief {
namespace {

// Bounds messages: a check of degree one sends its variable this much (certainty, yet finite so
// that sums and differences stay numbers), and nothing grows past it over long relays.
constexpr double kMaxMessage = 1e6;
// tanh products are kept below 1 so that 2 atanh stays finite (about 37).
constexpr double kMaxTanh = 1.0 - 1e-16;

// phi(x) = -ln tanh(x / 2), tabulated with linear interpolation: on [1/8, 32) in steps of 1/256,
// and below 1/8, where it grows like -ln x, on a grid of 256 steps per power of two (read from
// the bits of x) down to 2^-57, where it passes kMaxPhi. Relative error below 1e-4.
constexpr double kPhiSteps = 256.0;
constexpr double kPhiEnd = 32.0;
constexpr double kPhiSmall = 0.125;     // 2^-3
constexpr int kSmallExponentMin = -57;
constexpr int kSmallExponentEnd = -3;
constexpr double kMaxPhi = 40.0;

double phi_exact(double x) {
  if (!(x > 0)) return kMaxPhi;
  return std::min(kMaxPhi, -std::log(std::tanh(0.5 * x)));
}

struct PhiTable {
  std::vector<double> linear;  // phi(i / 256)
  std::vector<double> small;   // phi(2^e (1 + j / 256)) at (e - kSmallExponentMin) * 256 + j
  PhiTable() {
    linear.resize(static_cast<size_t>(kPhiEnd * kPhiSteps) + 2);
    for (size_t i = 0; i < linear.size(); ++i) linear[i] = phi_exact(static_cast<double>(i) / kPhiSteps);
    small.resize(static_cast<size_t>(kSmallExponentEnd - kSmallExponentMin) * 256 + 1);
    for (size_t i = 0; i < small.size(); ++i)
      small[i] = phi_exact(std::ldexp(1.0 + static_cast<double>(i % 256) / 256.0,
                                      kSmallExponentMin + static_cast<int>(i / 256)));
  }
};

const PhiTable& phi_table() {
  static const PhiTable table;
  return table;
}

inline double phi(double x, const PhiTable& table) {
  if (x < kPhiSmall) {
    if (x < 0x1.0p-57) return kMaxPhi;
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const int exponent = static_cast<int>(bits >> 52) - 1023;
    const size_t i = static_cast<size_t>(exponent - kSmallExponentMin) * 256 + ((bits >> 44) & 0xff);
    const double f = static_cast<double>(bits & ((uint64_t{1} << 44) - 1)) * 0x1.0p-44;
    return table.small[i] + f * (table.small[i + 1] - table.small[i]);
  }
  if (x >= kPhiEnd) return 2.0 * std::exp(-x);
  const double at = x * kPhiSteps;
  const size_t i = static_cast<size_t>(at);
  const double f = at - static_cast<double>(i);
  return table.linear[i] + f * (table.linear[i + 1] - table.linear[i]);
}

double prior_llr(double p) {
  const double q = std::clamp(p, 1e-300, 1.0);
  if (q >= 1.0) return -kMaxMessage;
  return std::clamp(std::log((1 - q) / q), -kMaxMessage, kMaxMessage);
}

}  // namespace

BeliefPropagation::BeliefPropagation(std::shared_ptr<const CheckMatrix> matrix, const BpOptions& options)
    : matrix_(std::move(matrix)), options_(options) {
  rebind();
  begin();
  phi_table();
}

void BeliefPropagation::rebind(std::span<const double> prior_llrs) {
  const CheckMatrix& h = *matrix_;
  if (prior_llrs.size() == h.column_count) {
    prior_.assign(prior_llrs.begin(), prior_llrs.end());
  } else {
    prior_.resize(h.column_count);
    for (uint32_t c = 0; c < h.column_count; ++c) prior_[c] = prior_llr(h.priors[c]);
  }
  // What begin() sets is only sized here: a neighbourhood is rebound once a shot.
  bias_.resize(h.column_count);
  marginal_.resize(h.column_count);
  hard_.resize(h.column_count);
  uint32_t longest = 0;
  for (uint32_t r = 0; r < h.row_count; ++r) longest = std::max(longest, h.row_start[r + 1] - h.row_start[r]);
  syndrome_.assign(h.row_count, 0);
  row_parity_.resize(h.row_count);
  fired_.clear();
  unsatisfied_ = 0;
  if (options_.method == BpMethod::kMinSum) {
    // Min-sum keeps its messages in its kernel.
    if (options_.schedule == BpSchedule::kParallel) {
      if (flooding_) flooding_->reset(h, prior_);
      else flooding_.emplace(h, prior_);
    } else {
      if (layered_) layered_->reset(h, prior_);
      else layered_.emplace(h, prior_);
    }
    return;
  }
  to_variable_.assign(h.entry_count(), 0.0);
  scratch_.assign(longest, 0.0);
  scratch2_.assign(longest, 0.0);
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
  std::copy(prior_.begin(), prior_.end(), marginal_.begin());
  std::copy(prior_.begin(), prior_.end(), bias_.begin());
  // The parities of the all-zero decision are the syndrome; likely columns then flip theirs.
  std::copy(syndrome_.begin(), syndrome_.end(), row_parity_.begin());
  std::fill(hard_.begin(), hard_.end(), 0);
  unsatisfied_ = static_cast<int64_t>(fired_.size());
  if (h.has_likely_column)
    for (uint32_t c = 0; c < h.column_count; ++c) decide(c, prior_[c] < 0);
  iterations_ = 0;
  total_iterations_ = 0;
  if (flooding_) flooding_->begin(h, syndrome_);
  if (layered_) layered_->begin(h, syndrome_);
}

bool BeliefPropagation::decode() {
  begin();
  if (converged()) return true;
  return iterate(options_.max_iter == 0 ? matrix_->column_count : options_.max_iter, Memory::kNone, 0.0, {});
}

bool BeliefPropagation::run(uint32_t iterations, std::span<const double> gamma) {
  if (!min_sum()) return iterate(iterations, Memory::kPerColumn, 0.0, gamma);
  gamma_.resize(gamma.size());
  std::copy(gamma.begin(), gamma.end(), gamma_.begin());
  return iterate_min_sum(iterations, 0.0f, gamma_);
}

bool BeliefPropagation::run(uint32_t iterations, std::span<const float> gamma) {
  if (min_sum()) return iterate_min_sum(iterations, 0.0f, gamma);
  gamma_wide_.assign(gamma.begin(), gamma.end());
  return iterate(iterations, Memory::kPerColumn, 0.0, gamma_wide_);
}

bool BeliefPropagation::run(uint32_t iterations, double gamma) {
  return iterate(iterations, gamma == 0.0 ? Memory::kNone : Memory::kUniform, gamma, {});
}

double BeliefPropagation::scaling() const {
  if (options_.method != BpMethod::kMinSum) return 1.0;
  if (options_.ms_scaling_factor != 0.0) return options_.ms_scaling_factor;
  return 1.0 - std::ldexp(1.0, -static_cast<int>(std::min(total_iterations_, 60u)));
}

bool BeliefPropagation::iterate_min_sum(uint32_t iterations, float gamma, std::span<const float> gammas) {
  iterations_ = 0;
  bool met = false;
  for (uint32_t t = 0; t < iterations && !met; ++t) {
    ++iterations_;
    ++total_iterations_;
    const auto alpha = static_cast<float>(scaling());
    if (flooding_) flooding_->iterate(*matrix_, alpha, gamma, gammas, hard_, row_parity_, unsatisfied_);
    else layered_->iterate(*matrix_, alpha, gamma, gammas, hard_, row_parity_, unsatisfied_);
    met = converged();
  }
  const auto m = flooding_ ? flooding_->marginals() : layered_->marginals();
  std::copy(m.begin(), m.end(), marginal_.begin());
  return met;
}

bool BeliefPropagation::iterate(uint32_t iterations, Memory memory, double gamma, std::span<const double> gammas) {
  if (min_sum()) return iterate_min_sum(iterations, static_cast<float>(memory == Memory::kUniform ? gamma : 0.0), {});
  iterations_ = 0;
  for (uint32_t t = 0; t < iterations; ++t) {
    ++iterations_;
    ++total_iterations_;
    if (options_.schedule == BpSchedule::kParallel) {
      check_pass_parallel();
      variable_pass_parallel(memory, gamma, gammas);
    } else {
      serial_pass(memory, gamma, gammas);
    }
    if (converged()) return true;
  }
  return false;
}

void BeliefPropagation::row_messages(uint32_t begin, uint32_t end, bool flipped, const double* in, double* out) {
  // Product-sum in the phi domain (min-sum runs in its own kernels).
  const uint32_t n = end - begin;
  const PhiTable& table = phi_table();
  double* f = scratch2_.data();
  double total = 0;
  bool negative = flipped;
  for (uint32_t i = 0; i < n; ++i) {
    negative ^= in[i] < 0;
    f[i] = phi(std::fabs(in[i]), table);
    total += f[i];
  }
  for (uint32_t i = 0; i < n; ++i) {
    const double magnitude = phi(std::max(0.0, total - f[i]), table);
    out[i] = (negative ^ (in[i] < 0)) ? -magnitude : magnitude;
  }
}

void BeliefPropagation::check_pass_parallel() {
  const CheckMatrix& h = *matrix_;
  for (uint32_t r = 0; r < h.row_count; ++r) {
    const uint32_t b = h.row_start[r], e = h.row_start[r + 1];
    if (b == e) continue;
    // Variable-to-check messages: the last marginal without this check's own message.
    double* in = scratch_.data();
    for (uint32_t k = b; k < e; ++k) in[k - b] = marginal_[h.row_columns[k]] - to_variable_[k];
    row_messages(b, e, syndrome_[r] != 0, in, to_variable_.data() + b);
  }
}

void BeliefPropagation::variable_pass_parallel(Memory memory, double gamma, std::span<const double> gammas) {
  const CheckMatrix& h = *matrix_;
  for (uint32_t c = 0; c < h.column_count; ++c) {
    double bias = prior_[c];
    if (memory == Memory::kUniform) bias = (1 - gamma) * prior_[c] + gamma * marginal_[c];
    else if (memory == Memory::kPerColumn) bias = (1 - gammas[c]) * prior_[c] + gammas[c] * marginal_[c];
    double sum = bias;
    for (const uint32_t k : h.entries_of(c)) sum += to_variable_[k];
    marginal_[c] = sum;
    decide(c, sum < 0);
  }
}

void BeliefPropagation::serial_pass(Memory memory, double gamma, std::span<const double> gammas) {
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
    row_messages(b, e, syndrome_[r] != 0, in, out);
    for (uint32_t k = b; k < e; ++k) marginal_[h.row_columns[k]] = in[k - b] + out[k - b];
  }
  for (uint32_t c = 0; c < h.column_count; ++c) decide(c, marginal_[c] < 0);
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
