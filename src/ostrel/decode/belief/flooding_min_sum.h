#pragma once
// Min-sum with the parallel (flooding) schedule, in one pass over the columns per iteration.
//
// A min-sum check sends every neighbour the same magnitude but one: the least |input| (the
// second least to the entry that gave the least), signed by the parity of the other inputs and
// the syndrome. So each check is kept as three numbers (least, second least, sign parity) and
// each entry as the input it sent; a column reads its checks' messages from them, forms its
// marginal, and folds its new inputs into the next iteration's check state. Per entry that is a
// row index and a float streamed in column order, the check states (12 bytes a row) staying in
// cache: there is no check-to-variable message array, and the inner loops have no branch.
//
// Messages are floats; the memory term (Müller et al., arXiv:2506.01779) biases column j by
// prior_j + gamma_j * (marginal_j - prior_j), the last iteration's marginal.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"

namespace ostrel::decode::belief {

class FloodingMinSum {
 public:
  FloodingMinSum(const CheckMatrix& h, std::span<const double> prior_llrs);

  // For a matrix that changed in place (a neighbourhood's): sized again, reusing the buffers.
  void reset(const CheckMatrix& h, std::span<const double> prior_llrs);

  // Messages to their start (every column sends its prior) for a syndrome given per row.
  void begin(const CheckMatrix& h, std::span<const uint8_t> syndrome);

  // One iteration with check messages scaled by alpha and memory strengths `gammas` (one per
  // column) or, when empty, `gamma` for all. Keeps `hard` (marginal < 0 per column),
  // `row_parity` (syndrome + the hard decision's, per row) and `unsatisfied` (rows with parity 1)
  // up to date as decisions flip.
  void iterate(const CheckMatrix& h, float alpha, float gamma, std::span<const float> gammas,
               std::span<uint8_t> hard, std::span<uint8_t> row_parity, int64_t& unsatisfied);

  std::span<const float> marginals() const { return marginal_; }

 private:
  struct Check {
    uint32_t least;   // bits of a non-negative float
    uint32_t second;
    uint32_t sign;   // syndrome + the inputs' signs, mod 2
  };
  template <bool kPerColumn>
  void pass(const CheckMatrix& h, float alpha, float gamma, const float* gammas, uint8_t* hard, uint8_t* row_parity,
            int64_t& unsatisfied);

  std::vector<float> prior_;       // per column
  std::vector<float> marginal_;    // per column
  std::vector<float> sent_;        // per entry in column order: its last input to the check
  std::vector<float> start_sent_;
  std::vector<Check> current_;     // per row: this iteration's inputs
  std::vector<Check> next_;        // per row: being gathered for the next
  std::vector<Check> start_;       // per row: every column sending its prior, no syndrome
  std::vector<uint32_t> syndrome_;  // per row
  std::vector<float> messages_;    // one column's incoming messages
};

}  // namespace ostrel::decode::belief
