#include "ostrel/decode/syndrome_window.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

namespace ostrel::decode {
namespace {

constexpr uint64_t kMaxBytes = static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

// rows * ancilla_count, or nothing when it exceeds what one allocation can address.
bool checked_bytes(uint64_t rows, uint64_t ancilla_count, uint64_t& bytes) {
  if (ancilla_count != 0 && rows > kMaxBytes / ancilla_count) return false;
  bytes = rows * ancilla_count;
  return true;
}

}  // namespace

std::string WindowError::message() const {
  const std::string shape = std::to_string(rows) + " rounds x " + std::to_string(ancilla_count) + " ancillas";
  switch (kind) {
    case WindowErrorKind::TooLarge:
      return "syndrome window of " + shape + " is too large";
    case WindowErrorKind::OutOfMemory:
      return "cannot allocate a syndrome window of " + shape;
    case WindowErrorKind::DoesNotFit:
      return detail;
  }
  return "syndrome window error";
}

Result<std::unique_ptr<uint8_t[]>, WindowError> SyndromeWindow::allocate(uint64_t bytes, uint64_t rows,
                                                                         uint64_t ancilla_count) {
  try {
    return std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return fail(WindowError{WindowErrorKind::OutOfMemory, ancilla_count, rows, {}});
  }
}

Result<SyndromeWindow, WindowError> SyndromeWindow::create(uint64_t ancilla_count, uint64_t window_depth) {
  SyndromeWindow window(ancilla_count, window_depth);
  // Depth 0 reserves nothing up front, and rows without cells need no storage at all.
  if (window_depth == 0 || ancilla_count == 0) return window;
  // Twice the depth, so that eviction can slide the held rows instead of moving them each time.
  uint64_t bytes = 0;
  if (window_depth > kMaxBytes / 2 || !checked_bytes(2 * window_depth, ancilla_count, bytes)) {
    return fail(WindowError{WindowErrorKind::TooLarge, ancilla_count, window_depth, {}});
  }
  auto storage = allocate(bytes, window_depth, ancilla_count);
  if (!storage.ok()) return fail(std::move(storage).error());
  window.storage_ = std::move(storage).value();
  window.capacity_rows_ = 2 * window_depth;
  return window;
}

std::span<const uint8_t> SyndromeWindow::matrix() const noexcept {
  if (ancilla_count_ == 0 || len_ == 0) return {};
  return {storage_.get() + head_ * ancilla_count_, static_cast<size_t>(len_ * ancilla_count_)};
}

Result<uint8_t*, WindowError> SyndromeWindow::append_row() {
  const uint64_t row_bytes = ancilla_count_;
  if (row_bytes == 0) {
    // Rows without cells take no storage; only the count of rounds changes.
    if (window_depth_ == 0 || len_ < window_depth_) ++len_;
    return static_cast<uint8_t*>(nullptr);
  }
  if (window_depth_ != 0 && len_ == window_depth_) {
    ++head_;
    --len_;
  }
  if (head_ + len_ == capacity_rows_) {
    if (window_depth_ != 0) {
      // Slide the held rows (at most depth - 1 of them) back to the start of the 2 * depth rows.
      std::memmove(storage_.get(), storage_.get() + head_ * row_bytes, len_ * row_bytes);
      head_ = 0;
    } else {
      auto grown = grow_unbounded();
      if (!grown.ok()) return fail(std::move(grown).error());
    }
  }
  uint8_t* row = storage_.get() + (head_ + len_) * row_bytes;
  ++len_;
  return row;
}

Result<Ok, WindowError> SyndromeWindow::grow_unbounded() {
  const uint64_t row_bytes = ancilla_count_;
  uint64_t rows = capacity_rows_ == 0 ? 1 : capacity_rows_ * 2;
  uint64_t bytes = 0;
  if (!checked_bytes(rows, row_bytes, bytes)) {
    rows = len_ + 1;
    if (!checked_bytes(rows, row_bytes, bytes)) {
      return fail(WindowError{WindowErrorKind::TooLarge, row_bytes, len_ + 1, {}});
    }
  }
  auto grown = allocate(bytes, len_ + 1, row_bytes);
  if (!grown.ok()) return fail(std::move(grown).error());
  if (len_ != 0) std::memcpy(grown.value().get(), storage_.get(), len_ * row_bytes);
  storage_ = std::move(grown).value();
  capacity_rows_ = rows;
  return Ok{};
}

Result<Ok, WindowError> SyndromeWindow::push(std::span<const uint8_t> detector_events) {
  auto row = append_row();
  if (!row.ok()) return fail(std::move(row).error());
  if (ancilla_count_ == 0) return Ok{};
  const size_t copied = static_cast<size_t>(std::min<uint64_t>(detector_events.size(), ancilla_count_));
  if (copied != 0) std::memcpy(row.value(), detector_events.data(), copied);  // an empty span may be null
  std::memset(row.value() + copied, 0, static_cast<size_t>(ancilla_count_ - copied));
  return Ok{};
}

Result<Ok, WindowError> SyndromeWindow::push_strided(const uint8_t* first, uint64_t count, std::ptrdiff_t stride) {
  if (stride == 1 || count <= 1) return push({first, static_cast<size_t>(count)});
  auto row = append_row();
  if (!row.ok()) return fail(std::move(row).error());
  if (ancilla_count_ == 0) return Ok{};
  const uint64_t copied = std::min(count, ancilla_count_);
  uint8_t* out = row.value();
  const uint8_t* in = first;
  for (uint64_t i = 0; i < copied; ++i) {
    out[i] = *in;
    if (i + 1 < copied) in += stride;  // never step past the last element read
  }
  std::memset(out + copied, 0, static_cast<size_t>(ancilla_count_ - copied));
  return Ok{};
}

uint64_t SyndromeWindow::active_count() const noexcept {
  uint64_t count = 0;
  for_each_active([&](uint64_t) { ++count; });
  return count;
}

std::vector<uint64_t> SyndromeWindow::active_detectors() const {
  std::vector<uint64_t> out;
  for_each_active([&](uint64_t index) { out.push_back(index); });
  return out;
}

}  // namespace ostrel::decode
