#pragma once
// A sliding window over the detector events of the most recent rounds, kept as a detector matrix:
// one row of `ancilla_count` cells per held round, row 0 the oldest. A round longer than
// `ancilla_count` is cut to it and a shorter one is padded with zeros.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/fired_cells.h"
#include "ostrel/util/result.h"

namespace ostrel::decode {

enum class WindowErrorKind : uint8_t {
  // ancilla_count x rows bytes cannot be addressed.
  TooLarge = 0,
  // The storage could not be allocated.
  OutOfMemory = 1,
  // The stream's frames do not fit the decoder it was given (`detail` says how).
  DoesNotFit = 2,
};

struct WindowError {
  WindowErrorKind kind;
  uint64_t ancilla_count = 0;
  uint64_t rows = 0;  // rows the storage was to hold
  std::string detail;

  std::string message() const;
};

class SyndromeWindow {
 public:
  // An empty window with its storage reserved for `window_depth` rounds. A depth of 0 never
  // evicts and grows by one row per push. Fails when the reservation overflows or cannot be
  // allocated.
  static Result<SyndromeWindow, WindowError> create(uint64_t ancilla_count, uint64_t window_depth);

  uint64_t ancilla_count() const noexcept { return ancilla_count_; }
  uint64_t window_depth() const noexcept { return window_depth_; }
  // Number of held rounds.
  uint64_t len() const noexcept { return len_; }
  bool is_full() const noexcept { return len_ == window_depth_; }
  bool is_empty() const noexcept { return len_ == 0; }

  // The detector matrix: len() * ancilla_count() bytes, row 0 the oldest round.
  std::span<const uint8_t> matrix() const noexcept;

  // Appends a round as the newest row, evicting the oldest when full. Only a window of depth 0
  // can fail here (its storage grows); a failed push leaves the window unchanged.
  Result<Ok, WindowError> push(std::span<const uint8_t> detector_events);
  // The same for `count` events laid out `stride` bytes apart (any sign), as in a strided array
  // view: element i is read at first + i * stride. Only the first ancilla_count() are read.
  Result<Ok, WindowError> push_strided(const uint8_t* first, uint64_t count, std::ptrdiff_t stride);

  // Calls visit(uint64_t index) for every matrix cell whose byte is exactly 1, ascending by flat
  // index (row * ancilla_count + column).
  template <class Visit>
  void for_each_active(Visit&& visit) const {
    for_each_fired_cell(matrix(), [&](size_t i) { visit(static_cast<uint64_t>(i)); });
  }
  uint64_t active_count() const noexcept;
  std::vector<uint64_t> active_detectors() const;

 private:
  SyndromeWindow(uint64_t ancilla_count, uint64_t window_depth) noexcept
      : ancilla_count_(ancilla_count), window_depth_(window_depth) {}

  // Allocates uninitialised storage of `bytes`, so a large reservation commits no memory until
  // rows are written.
  static Result<std::unique_ptr<uint8_t[]>, WindowError> allocate(uint64_t bytes, uint64_t rows,
                                                                  uint64_t ancilla_count);

  // Makes room for one more row at the newest end, evicting the oldest when full, and returns
  // the new row for the caller to fill (null when rows have no cells). Fails only for depth 0,
  // leaving the window unchanged.
  Result<uint8_t*, WindowError> append_row();
  // Depth 0: doubles the room for rows, keeping the held ones.
  Result<Ok, WindowError> grow_unbounded();

  uint64_t ancilla_count_;
  uint64_t window_depth_;
  // The held rows are the contiguous run of `len_` rows starting at row `head_` of the storage.
  // Depth >= 1: room for 2 * depth rows; when the run reaches the end it is moved back to the
  // start, so a push copies one row on average and the matrix stays one contiguous span.
  // Depth 0: head_ stays 0 and the room doubles whenever it runs out.
  std::unique_ptr<uint8_t[]> storage_;
  uint64_t capacity_rows_ = 0;
  uint64_t head_ = 0;
  uint64_t len_ = 0;
};

}  // namespace ostrel::decode
