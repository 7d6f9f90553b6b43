#include "ostrel/qssf/frame_batch.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace ostrel::qssf {
namespace {

template <class T>
void put(RawBlock& block, uint64_t row, T value) noexcept {
  std::memcpy(block.data() + row * sizeof(T), &value, sizeof(T));
}

// Sets bits [begin, begin + len) of a zeroed little-endian bit string.
void set_bits(uint8_t* out, size_t begin, size_t len) noexcept {
  size_t end = begin + len;
  while (begin < end && (begin & 7)) {
    out[begin >> 3] |= uint8_t(1u << (begin & 7));
    ++begin;
  }
  if (end - begin >= 8) {
    std::memset(out + (begin >> 3), 0xFF, (end - begin) >> 3);
    begin += (end - begin) & ~size_t(7);
  }
  for (; begin < end; ++begin) out[begin >> 3] |= uint8_t(1u << (begin & 7));
}

}  // namespace

namespace {

constexpr size_t kMapThreshold = size_t(1) << 20;
constexpr size_t kHugePage = size_t(2) << 20;

size_t page_size() noexcept {
  static const size_t size = size_t(::sysconf(_SC_PAGESIZE));
  return size;
}

size_t round_up(size_t n, size_t to) noexcept { return (n + to - 1) / to * to; }

}  // namespace

RawBlock::RawBlock(RawBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), mapped_(std::exchange(other.mapped_, 0)) {}

RawBlock& RawBlock::operator=(RawBlock&& other) noexcept {
  if (this != &other) {
    free(data_, mapped_);
    data_ = std::exchange(other.data_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
  }
  return *this;
}

RawBlock RawBlock::allocate(size_t bytes) noexcept {
  RawBlock block;
  if (bytes < kMapThreshold) {
    block.data_ = static_cast<uint8_t*>(std::malloc(std::max<size_t>(bytes, 1)));
    return block;
  }
  if (bytes > SIZE_MAX - kHugePage) return block;
  const size_t length = round_up(bytes, page_size());
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return block;
  // Advice only: where huge pages are unavailable the block works with small ones.
  (void)::madvise(p, length, MADV_HUGEPAGE);
  block.data_ = static_cast<uint8_t*>(p);
  block.mapped_ = length;
  return block;
}

void RawBlock::free(uint8_t* data, size_t mapped) noexcept {
  if (!data) return;
  if (mapped)
    ::munmap(data, mapped);
  else
    std::free(data);
}

void RawBlock::shrink(size_t bytes) noexcept {
  if (!data_) return;
  if (!mapped_) {
    if (void* smaller = std::realloc(data_, std::max<size_t>(bytes, 1))) data_ = static_cast<uint8_t*>(smaller);
    return;
  }
  const size_t keep = std::max(round_up(bytes, page_size()), page_size());
  if (keep < mapped_ && ::munmap(data_ + keep, mapped_ - keep) == 0) mapped_ = keep;
}

RawBlock::Released RawBlock::release() noexcept {
  Released released{data_, mapped_};
  data_ = nullptr;
  mapped_ = 0;
  return released;
}

std::string BatchAllocError::message() const {
  const std::string what = "a frame batch of " + std::to_string(frames) + " frames of " +
                           std::to_string(ancilla_count) + " detectors";
  return too_large ? what + " is too large" : "cannot allocate " + what;
}

size_t FrameBatch::element_bytes(BatchColumn column) const noexcept {
  switch (column) {
    case BatchColumn::FrameId:
    case BatchColumn::TimestampNs:
    case BatchColumn::ObservableFlips:
      return 8;
    case BatchColumn::Round:
    case BatchColumn::DetectorEventCount:
      return 4;
    case BatchColumn::QubitCount:
    case BatchColumn::AncillaCount:
    case BatchColumn::Flags:
      return 2;
    case BatchColumn::CodeType:
    case BatchColumn::Distance:
    case BatchColumn::HasObservableFlips:
    case BatchColumn::HasPayloadChecksum:
      return 1;
    case BatchColumn::DetectorEvents:
      return event_row_bytes();
    case BatchColumn::MeasResults:
      return ancilla_count_;
  }
  return 0;
}

FrameBatch FrameBatch::empty(bool bit_packed) noexcept {
  FrameBatch batch;
  batch.bit_packed_ = bit_packed;
  return batch;
}

Result<FrameBatch, BatchAllocError> FrameBatch::allocate(uint64_t capacity, uint16_t ancilla_count,
                                                         bool bit_packed) noexcept {
  FrameBatch batch;
  batch.ancilla_count_ = ancilla_count;
  batch.bit_packed_ = bit_packed;
  batch.capacity_ = capacity;
  // Every column must be addressable, and NumPy indexes with a signed size.
  const uint64_t limit = uint64_t(std::numeric_limits<std::ptrdiff_t>::max());
  for (size_t c = 0; c < kBatchColumns; ++c) {
    const uint64_t per = std::max<uint64_t>(batch.element_bytes(BatchColumn(c)), 1);
    if (capacity > limit / per) return fail(BatchAllocError{true, capacity, ancilla_count});
  }
  for (size_t c = 0; c < kBatchColumns; ++c) {
    batch.columns_[c] = RawBlock::allocate(capacity * batch.element_bytes(BatchColumn(c)));
    if (!batch.columns_[c]) return fail(BatchAllocError{false, capacity, ancilla_count});
  }
  return batch;
}

void FrameBatch::append(const ParsedFrame& frame) noexcept {
  const bool has_mask = frame.extensions && frame.extensions->observable_flips;
  append(frame.header, frame.detector_rle, frame.meas_results.data(),
         has_mask ? &*frame.extensions->observable_flips : nullptr,
         frame.extensions && frame.extensions->payload_crc32c);
}

void FrameBatch::append(const FrameHeader& h, std::span<const uint8_t> detector_rle, const void* meas_results,
                        const uint64_t* observable_flips, bool payload_checksum) noexcept {
  const uint64_t row = size_++;
  put(column(BatchColumn::FrameId), row, h.frame_id);
  put(column(BatchColumn::Round), row, h.round);
  put(column(BatchColumn::TimestampNs), row, h.timestamp_ns);
  put(column(BatchColumn::QubitCount), row, h.qubit_count);
  put(column(BatchColumn::AncillaCount), row, h.ancilla_count);
  put(column(BatchColumn::DetectorEventCount), row, count_detector_events(detector_rle));
  put(column(BatchColumn::CodeType), row, h.code_type);
  put(column(BatchColumn::Distance), row, h.distance);
  put(column(BatchColumn::Flags), row, h.flags);
  put(column(BatchColumn::ObservableFlips), row, observable_flips ? *observable_flips : uint64_t(0));
  put(column(BatchColumn::HasObservableFlips), row, uint8_t(observable_flips != nullptr));
  put(column(BatchColumn::HasPayloadChecksum), row, uint8_t(payload_checksum));

  const size_t row_len = event_row_bytes();
  uint8_t* events = column(BatchColumn::DetectorEvents).data() + row * row_len;
  if (bit_packed_)
    pack_detector_rle(detector_rle, ancilla_count_, std::span<uint8_t>(events, row_len));
  else
    decode_detector_rle(detector_rle, std::span<uint8_t>(events, row_len));
  if (ancilla_count_)
    std::memcpy(column(BatchColumn::MeasResults).data() + row * ancilla_count_, meas_results, ancilla_count_);
}

void FrameBatch::set_observable_flips(uint64_t row, uint64_t mask) noexcept {
  put(column(BatchColumn::ObservableFlips), row, mask);
  put(column(BatchColumn::HasObservableFlips), row, uint8_t(1));
}

std::span<const uint8_t> FrameBatch::detector_row(uint64_t row) const noexcept {
  const size_t len = event_row_bytes();
  return {columns_[size_t(BatchColumn::DetectorEvents)].data() + row * len, len};
}

void FrameBatch::shrink_to_fit() noexcept {
  if (size_ == capacity_) return;
  for (size_t c = 0; c < kBatchColumns; ++c)
    columns_[c].shrink(size_ * element_bytes(BatchColumn(c)));
  capacity_ = size_;
}

void pack_detector_rle(std::span<const uint8_t> rle, uint16_t ancilla_count, std::span<uint8_t> out) noexcept {
  if (out.empty()) return;
  std::memset(out.data(), 0, out.size());
  size_t pos = 0;
  const size_t n = ancilla_count;
  for (uint8_t b : rle) {
    if (pos == n) break;
    const size_t len = std::min<size_t>(b & 0x7F, n - pos);
    if (b & 0x80) set_bits(out.data(), pos, len);
    pos += len;
  }
}

}  // namespace ostrel::qssf
