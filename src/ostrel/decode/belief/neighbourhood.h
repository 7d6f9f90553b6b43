#pragma once
// A shot's neighbourhood on a check matrix, for belief propagation whose cost follows the
// syndrome: the columns that touch a fired row, and every row those columns touch (each with only
// those of its columns). The columns left out are taken as certainly clear: far from the fired
// rows, min-sum's confidence in them grows with each iteration, and clamping them at anything
// weaker (their priors, or what they send after one iteration on an empty syndrome) left the
// neighbourhood's rows unsettled more often on the gross code under circuit noise.
//
// An approximation: BP on the whole matrix may flip a column no fired row touches. Whoever uses it
// falls back to the whole matrix when the neighbourhood finds no correction. Rows and columns keep
// the whole's order, so a neighbourhood that holds every column is the whole matrix. Buffers are
// reused across shots; building costs the neighbourhood's entries and a sweep of a byte per column.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"

namespace ostrel::decode::belief {

class Neighbourhood {
 public:
  explicit Neighbourhood(std::shared_ptr<const CheckMatrix> whole);
  // A copy owns its own neighbourhood matrix.
  Neighbourhood(const Neighbourhood& other);
  Neighbourhood& operator=(const Neighbourhood& other);
  Neighbourhood(Neighbourhood&&) noexcept = default;
  Neighbourhood& operator=(Neighbourhood&&) noexcept = default;

  // The neighbourhood of `fired`: distinct rows of the whole matrix, each in range.
  void build(std::span<const uint32_t> fired);

  // The neighbourhood's matrix (changed in place by build) and its fired rows, ascending.
  const std::shared_ptr<const CheckMatrix>& matrix() const { return view_; }
  std::span<const uint32_t> fired() const { return fired_; }
  // The whole matrix's column and row of a neighbourhood's.
  uint32_t whole_column(uint32_t local) const { return columns_[local]; }
  uint32_t whole_row(uint32_t local) const { return rows_[local]; }
  // The neighbourhood's column of a whole column, or kNoColumn (a search: for the few).
  uint32_t local_column(uint32_t whole) const;

 private:
  std::shared_ptr<const CheckMatrix> whole_;
  std::shared_ptr<CheckMatrix> region_;
  std::shared_ptr<const CheckMatrix> view_;  // region_, read-only
  std::vector<uint8_t> column_marks_;        // per whole column: in the neighbourhood (cleared after)
  std::vector<uint8_t> row_marks_;           // per whole row
  std::vector<uint32_t> row_entries_;        // per whole row: its entries in the neighbourhood
  std::vector<uint32_t> local_row_;          // per whole row: its neighbourhood row (where in it)
  std::vector<uint32_t> columns_;            // neighbourhood column -> whole
  std::vector<uint32_t> rows_;               // neighbourhood row -> whole
  std::vector<uint32_t> fired_;              // neighbourhood rows
  std::vector<uint32_t> fill_;               // per neighbourhood row: next free entry
};

}  // namespace ostrel::decode::belief
