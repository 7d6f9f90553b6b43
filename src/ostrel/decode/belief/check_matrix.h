#pragma once
// The check matrix of a model whose errors may flip any number of detectors: one row per
// detector, one column per distinct error, sparse both ways, with each column's observables and
// probability. Belief propagation and ordered statistics decode on it.
//
// An error is all its `^`-separated components together: its detectors are those named an odd
// number of times across them, its observables likewise. Errors with the same detectors and
// observables are one column whose probability is that of an odd number of them occurring,
// p = p1(1 - p2) + p2(1 - p1). Errors with p = 0, and errors that flip no detector (nothing can
// see them), have no column.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::belief {

inline constexpr uint32_t kNoColumn = UINT32_MAX;

struct CheckMatrix {
  uint32_t row_count = 0;     // detectors
  uint32_t column_count = 0;  // distinct errors
  uint64_t observable_count = 0;

  // Entries row by row: row r holds columns row_columns[row_start[r] .. row_start[r + 1]),
  // ascending. An entry's position here is its index in message arrays.
  std::vector<uint32_t> row_start;
  std::vector<uint32_t> row_columns;
  // Entries column by column: column c has rows column_rows[column_start[c] .. column_start[c + 1]),
  // ascending, and column_entries[...] gives each one's position in row order.
  std::vector<uint32_t> column_start;
  std::vector<uint32_t> column_rows;
  std::vector<uint32_t> column_entries;

  std::vector<uint64_t> observables;  // per column
  std::vector<double> priors;         // per column, in (0, 1]
  // Per model error, its column, or kNoColumn.
  std::vector<uint32_t> error_column;

  size_t entry_count() const { return row_columns.size(); }
  std::span<const uint32_t> rows_of(uint32_t column) const {
    return std::span(column_rows).subspan(column_start[column], column_start[column + 1] - column_start[column]);
  }
  std::span<const uint32_t> entries_of(uint32_t column) const {
    return std::span(column_entries).subspan(column_start[column], column_start[column + 1] - column_start[column]);
  }
  std::span<const uint32_t> columns_of(uint32_t row) const {
    return std::span(row_columns).subspan(row_start[row], row_start[row + 1] - row_start[row]);
  }
  // Whether some column is likelier to have occurred than not: then no syndrome is trivially
  // explained by no error at all.
  bool has_likely_column = false;
};

// Also refuses what no decoder can mean: probabilities outside [0, 1], more than 64 observables,
// more than 4294967294 detectors or entries, and models whose matrix would take more than
// `budget` bytes (counted from the model before anything is allocated).
Result<std::shared_ptr<const CheckMatrix>, std::string> build_check_matrix(const dem::DetectorErrorModel& dem,
                                                                          uint64_t budget);
Result<std::shared_ptr<const CheckMatrix>, std::string> build_check_matrix(const dem::DetectorErrorModel& dem);

// The syndrome of a set of columns: rows touched an odd number of times, ascending.
void syndrome_of_columns(const CheckMatrix& h, std::span<const uint32_t> columns, std::vector<uint8_t>& parity,
                         std::vector<uint32_t>& fired);

}  // namespace ostrel::decode::belief
