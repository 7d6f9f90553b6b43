#pragma once
// Where each of a model's detectors sits in the frames a control stack emits: a table of rounds
// (rows) by ancillas (columns), each cell naming one detector or none. A frame is one round: its
// cell c fires detector detector(round, c). Cells with no detector (an ancilla that has no detector
// in that round, such as X ancillas in the first round of a Z-memory experiment) take no part.
//
// Two ways to get one:
// - from the model's detector coordinates: a detector's last written coordinate is its round and
//   the coordinates before it name its ancilla, with the 4th coordinate when one is written (the
//   colour and basis of a colour code's check, so that a face's X and Z checks are two ancillas). Rows are the distinct round values in ascending
//   order; columns are the distinct ancilla positions in ascending lexicographic order of their
//   coordinate tuples (a shorter tuple that is a prefix of a longer one comes first). Values are
//   compared exactly as the model's text gives them. A writer that orders ancillas the same way
//   produces frames this layout reads.
// - from an explicit table, rows x columns detector indices with -1 for none, for hardware whose
//   own schema numbers its ancillas.
// Either way every detector the model's errors name must sit in exactly one cell.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode {

class DetectorLayout {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  static Result<DetectorLayout, std::string> from_coordinates(const dem::DetectorErrorModel& model);
  // `cells` holds rows * columns entries, row by row; -1 is an empty cell.
  static Result<DetectorLayout, std::string> from_table(const dem::DetectorErrorModel& model, uint64_t rows,
                                                        uint64_t columns, std::span<const int64_t> cells);

  uint32_t rows() const noexcept { return rows_; }
  uint32_t columns() const noexcept { return columns_; }
  uint32_t detector_count() const noexcept { return static_cast<uint32_t>(round_.size()); }
  // The detector in a cell, or kNone. Both indices must be in range.
  uint32_t detector(uint32_t row, uint32_t column) const noexcept {
    return cells_[static_cast<size_t>(row) * columns_ + column];
  }
  // The cells of one row.
  std::span<const uint32_t> row(uint32_t r) const noexcept {
    return std::span(cells_).subspan(static_cast<size_t>(r) * columns_, columns_);
  }
  // The row of a detector, or kNone for a detector that sits in no cell.
  uint32_t round_of(uint32_t detector) const noexcept { return round_[detector]; }
  std::span<const uint32_t> cells() const noexcept { return cells_; }

 private:
  static Result<DetectorLayout, std::string> build(const dem::DetectorErrorModel& model, uint32_t rows,
                                                   uint32_t columns, std::vector<uint32_t> cells);

  uint32_t rows_ = 0;
  uint32_t columns_ = 0;
  std::vector<uint32_t> cells_;  // rows_ * columns_ detector indices or kNone
  std::vector<uint32_t> round_;  // per detector of the model: its row or kNone
};

}  // namespace ostrel::decode
