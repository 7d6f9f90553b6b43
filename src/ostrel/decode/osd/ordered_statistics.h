#pragma once
// Ordered-statistics post-processing (Panteleev & Kalachev, arXiv:1904.02703; Roffe et al.,
// arXiv:2005.07016): order the columns from the likeliest flipped to the least (BP's marginals),
// eliminate over GF(2) in that order so that the first independent columns become the pivots, and
// solve for the syndrome on them. OSD-0 sets no other column. OSD-E tries every subset of the w
// likeliest non-pivot columns; OSD-CS (combination sweep) every single non-pivot column and every
// pair among the w likeliest. Among the candidates, each of which meets the syndrome, the one of
// least weight sum ln((1 - p) / p) over its columns (the model's priors) wins.
//
// The matrix is bit-packed by rows in the sorted column order and reduced in place, rows swapped
// so that every scan runs down memory; a pivot row only carries bits from its own column on, so a
// reduction step XORs (and a swap exchanges) the words from there.
// Elimination stops once the matrix's rank is reached. Buffers are sized once.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::osd {

enum class OsdMethod : uint8_t { kOsd0, kExhaustive, kCombinationSweep };

// OSD-E tries 2^w candidates: beyond this order it is refused rather than left to run for hours.
inline constexpr uint32_t kMaxExhaustiveOrder = 24;

class OrderedStatistics {
 public:
  // Fails when the packed matrix would take more than `budget` bytes.
  static Result<OrderedStatistics, std::string> create(std::shared_ptr<const belief::CheckMatrix> matrix,
                                                       uint64_t budget);

  // A correction for the fired rows (ascending, distinct, in range), from columns ordered by
  // `marginals` ascending (log-likelihood ratios: most negative is likeliest flipped).
  // Returns false when no set of columns has that syndrome (then the OSD-0 guess is kept anyway).
  bool solve(std::span<const uint32_t> fired, std::span<const double> marginals, OsdMethod method, uint32_t order);

  // The columns of the last correction, and its weight and observables.
  std::span<const uint32_t> correction() const { return correction_; }
  double correction_weight() const { return correction_weight_; }
  uint64_t correction_observables() const { return correction_observables_; }
  uint32_t rank() const { return rank_; }

 private:
  explicit OrderedStatistics(std::shared_ptr<const belief::CheckMatrix> matrix);
  // Reduces the packed matrix in order_; returns the rank reached.
  uint32_t eliminate(uint32_t stop_at_rank);
  // Bit `position` of pivot `row`'s row.
  bool bit(uint32_t row, uint32_t position) const {
    return (rows_[size_t{row_of_[row]} * words_ + position / 64] >> (position % 64)) & 1;
  }
  void fill(std::span<const uint32_t> fired);
  // Sum of weights of the pivots set in `x` (packed over pivot indices).
  double pivot_weight(const uint64_t* x) const;
  void sweep_single();
  void sweep_pairs(uint32_t order);
  void sweep_exhaustive(uint32_t order);
  void take(const uint64_t* x, std::span<const uint32_t> extra);

  std::shared_ptr<const belief::CheckMatrix> matrix_;
  uint32_t words_ = 0;          // per packed row
  uint32_t pivot_words_ = 0;    // per vector over pivots
  uint32_t full_rank_ = 0;
  uint32_t rank_ = 0;
  std::vector<double> weight_;  // per column: ln((1 - p) / p)
  std::vector<uint64_t> rows_;  // row_count x words_
  std::vector<uint32_t> row_of_;   // pivot index -> its row (the same index, rows being swapped)
  std::vector<uint8_t> syndrome_;  // per physical row
  std::vector<uint32_t> order_;    // position -> column
  std::vector<uint32_t> pivot_position_;  // pivot index -> position
  std::vector<uint8_t> is_pivot_;         // per position
  std::vector<uint32_t> free_;            // non-pivot positions, ascending
  std::vector<uint64_t> base_;            // the OSD-0 pivot values, packed
  std::vector<uint64_t> candidate_;
  std::vector<uint64_t> best_;
  std::vector<uint64_t> columns_;         // the w likeliest free columns over pivots, packed
  std::vector<double> delta_;             // per position: weight change of adding that column
  std::vector<double> signed_weight_;     // per pivot: its weight, negative where base_ sets it
  std::vector<uint32_t> best_extra_;
  std::vector<uint32_t> extra_;
  std::vector<uint32_t> correction_;
  double best_weight_ = 0;
  double correction_weight_ = 0;
  uint64_t correction_observables_ = 0;
};

}  // namespace ostrel::decode::osd
