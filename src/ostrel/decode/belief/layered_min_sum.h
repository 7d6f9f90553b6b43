#pragma once
// Min-sum with the serial (layered) schedule: check after check, each one's inputs read from the
// marginals as the checks before it in this iteration left them, its messages added back at once.
// News crosses the graph within one iteration, so it meets the syndrome in about half the
// iterations of the parallel schedule, at the same cost per iteration (the matrix's entries).
//
// Floats; one message per entry in row order, the rows run by a LayeredKernel (layered_kernel.h:
// portable, or 16 entries a step where the processor allows, with the same bits). The memory term
// (Müller et al., arXiv:2506.01779) sets column j's bias at the start of each iteration to
// prior_j + gamma_j * (marginal_j - prior_j), the marginal the last iteration ended with.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"
#include "ostrel/decode/belief/layered_kernel.h"

namespace ostrel::decode::belief {

class LayeredMinSum {
 public:
  // `kernel` null: the fastest this processor runs (all give the same bits).
  LayeredMinSum(const CheckMatrix& h, std::span<const double> prior_llrs, LayeredKernel kernel = nullptr);

  // For a matrix that changed in place (a neighbourhood's): sized again, reusing the buffers;
  // begin() must come before the next iteration.
  void reset(const CheckMatrix& h, std::span<const double> prior_llrs);

  // Messages to zero and marginals to the priors, for a syndrome given per row.
  void begin(const CheckMatrix& h, std::span<const uint8_t> syndrome);

  // One iteration, as FloodingMinSum::iterate: check messages scaled by alpha, strengths `gammas`
  // per column or `gamma` for all, the hard decision and the unsatisfied rows kept up to date.
  void iterate(const CheckMatrix& h, float alpha, float gamma, std::span<const float> gammas,
               std::span<uint8_t> hard, std::span<uint8_t> row_parity, int64_t& unsatisfied);

  std::span<const float> marginals() const { return marginal_; }

 private:
  LayeredKernel kernel_;
  DecisionScan scan_;
  std::vector<float> prior_;      // per column
  std::vector<float> bias_;       // per column: this iteration's
  std::vector<float> marginal_;   // per column
  std::vector<float> message_;    // per entry in row order: check to variable
  std::vector<float> input_;      // one row's inputs
  std::vector<uint32_t> syndrome_;  // per row
};

}  // namespace ostrel::decode::belief
