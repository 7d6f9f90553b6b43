#pragma once
// Belief propagation on a check matrix, in log-likelihood ratios (positive: the error likely did
// not occur): min-sum with a scaling factor, or product-sum; every check at once (parallel), or
// check after check with the marginals updated in place (serial, layered). A decode stops as soon
// as the hard decision (marginal < 0) has the shot's syndrome.
//
// The layered serial schedule is the one whose cost per iteration is the matrix's entries, like
// the parallel one; a variable-by-variable schedule pays each check's degree once per variable.
//
// Memory (Müller et al., arXiv:2506.01779): with strengths gamma_j, each iteration biases variable
// j by (1 - gamma_j) * prior_j + gamma_j * marginal_j (the previous iteration's), instead of the
// prior alone; gamma = 0 is plain BP. Relay-BP runs legs of this with different strengths.
//
// Product-sum runs in the phi domain, |message| = phi(sum of phi(|input|)) with
// phi(x) = -ln tanh(x / 2) (its own inverse), phi read from a table with linear interpolation
// (exact below 1/8, where it is steep): two lookups per entry instead of a tanh and an atanh.
//
// Min-sum runs in FloodingMinSum (parallel) or LayeredMinSum (serial), in floats; marginals()
// holds their result as doubles once a run ends. Product-sum runs here in doubles. Buffers are sized once for the matrix; nothing is allocated per shot. Whether the hard decision
// meets the syndrome is kept up to date as decisions flip (a count of unsatisfied checks), so
// testing it costs the flips, not the matrix.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"
#include "ostrel/decode/belief/flooding_min_sum.h"
#include "ostrel/decode/belief/layered_min_sum.h"

namespace ostrel::decode::belief {

enum class BpMethod : uint8_t { kMinSum, kProductSum };
enum class BpSchedule : uint8_t { kParallel, kSerial };

struct BpOptions {
  // 0: as many iterations as the matrix has columns.
  uint32_t max_iter = 30;
  BpMethod method = BpMethod::kMinSum;
  // Min-sum's factor on check messages; 0 takes 1 - 2^-t at iteration t (t from 1).
  double ms_scaling_factor = 0.0;
  BpSchedule schedule = BpSchedule::kParallel;
};

class BeliefPropagation {
 public:
  BeliefPropagation(std::shared_ptr<const CheckMatrix> matrix, const BpOptions& options);

  // The matrix changed in place (a neighbourhood's): buffers sized again, reusing their memory.
  // The syndrome is cleared; begin() must come before the next run. `prior_llrs`, one per column,
  // spares the logarithms when given.
  void rebind(std::span<const double> prior_llrs = {});

  // The shot's syndrome: ascending detector indices (beyond the matrix: ignored; twice: cancel).
  // Replaces the last one at a cost that follows both.
  void set_syndrome(std::span<const uint32_t> fired);
  bool syndrome_empty() const { return fired_.empty(); }
  // The fired rows in use: distinct, in range, in the order given.
  std::span<const uint32_t> fired() const { return fired_; }

  // Starts from the priors and runs up to options.max_iter iterations; true once converged.
  bool decode();

  // Memory BP for relays. begin() resets messages and marginals to the priors; run() continues
  // from where the last run stopped with strengths `gamma` (one per column), for up to
  // `iterations`, and returns whether the hard decision converged.
  void begin();
  bool run(uint32_t iterations, std::span<const double> gamma);
  bool run(uint32_t iterations, std::span<const float> gamma);
  // The same with one strength for every column.
  bool run(uint32_t iterations, double gamma);

  // The marginals (log-likelihood ratios) and hard decision of the last iteration.
  std::span<const double> marginals() const { return marginal_; }
  std::span<const uint8_t> hard_decision() const { return hard_; }
  std::span<const double> prior_llrs() const { return prior_; }
  uint32_t iterations() const { return iterations_; }
  // Per row: 1 where the hard decision leaves the syndrome unmet.
  std::span<const uint8_t> unmet_rows() const { return row_parity_; }
  const CheckMatrix& matrix() const { return *matrix_; }
  const std::shared_ptr<const CheckMatrix>& matrix_ptr() const { return matrix_; }
  const BpOptions& options() const { return options_; }

  // The observables flipped by the hard decision, and its weight in ln((1 - p) / p) of the priors.
  uint64_t hard_observables() const;
  double hard_weight() const;

 private:
  enum class Memory : uint8_t { kNone, kUniform, kPerColumn };
  bool iterate(uint32_t iterations, Memory memory, double gamma, std::span<const double> gammas);
  // Min-sum's factor at the next iteration (1 for product-sum).
  double scaling() const;
  bool iterate_min_sum(uint32_t iterations, float gamma, std::span<const float> gammas);
  bool min_sum() const { return flooding_ || layered_; }
  // Product-sum's passes, in doubles.
  void check_pass_parallel();
  void variable_pass_parallel(Memory memory, double gamma, std::span<const double> gammas);
  void serial_pass(Memory memory, double gamma, std::span<const double> gammas);
  // Check-to-variable messages of one row from its variable-to-check messages in scratch_.
  void row_messages(uint32_t begin, uint32_t end, bool flipped, const double* in, double* out);
  bool converged() const { return unsatisfied_ == 0; }
  // Sets column c's hard decision, keeping the unsatisfied checks counted.
  void decide(uint32_t c, bool flipped) {
    if (hard_[c] == flipped) return;
    hard_[c] = flipped;
    for (const uint32_t r : matrix_->rows_of(c)) {
      row_parity_[r] ^= 1;
      unsatisfied_ += row_parity_[r] ? 1 : -1;
    }
  }

  std::shared_ptr<const CheckMatrix> matrix_;
  BpOptions options_;
  std::vector<double> prior_;       // per column
  std::vector<double> bias_;        // per column: this iteration's bias (serial schedule)
  std::vector<double> marginal_;    // per column
  std::vector<uint8_t> hard_;       // per column
  std::vector<double> to_variable_; // per entry (row order): check to variable
  std::vector<double> scratch_;     // the longest row
  std::vector<double> scratch2_;
  std::vector<uint8_t> syndrome_;   // per row
  std::vector<uint32_t> fired_;
  std::vector<uint8_t> row_parity_;  // per row: syndrome + the hard decision's, mod 2
  int64_t unsatisfied_ = 0;          // rows with parity 1
  uint32_t iterations_ = 0;
  uint32_t total_iterations_ = 0;   // across runs since begin(), for the adaptive factor
  // Min-sum runs in one of these, in floats; marginal_ is copied from it.
  std::optional<FloodingMinSum> flooding_;
  std::optional<LayeredMinSum> layered_;
  std::vector<float> gamma_;        // per column, for run() with doubles
  std::vector<double> gamma_wide_;  // per column, for run() with floats on the double path
};

}  // namespace ostrel::decode::belief
