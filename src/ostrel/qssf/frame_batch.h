#pragma once
// Many frames as columns: one array per header field, detector events and measurement results as
// row-major matrices (frames x ancillas), and the observable masks with a flag per frame saying
// which frames carry one. Every frame of a batch has the same ancilla count, so the matrices are
// rectangular. Detector events are one byte (0/1) per detector, or bit-packed: ceil(N / 8) bytes
// per frame, detector i in bit i % 8 of byte i / 8 (least significant bit first).
//
// Each column is one malloc'd block, allocated for the batch's full capacity up front (pages that
// are never written are never made resident) and shrunk to the frames actually read, so a caller
// can hand the blocks on to an owner that frees them with std::free.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "ostrel/qssf/payload.h"
#include "ostrel/util/result.h"

namespace ostrel::qssf {

// One column's memory. Large blocks are mapped from the system directly and asked to be backed by
// huge pages, so filling them costs one page fault per 2 MiB rather than per 4 KiB; small blocks
// come from malloc. Whoever takes a block over frees it with RawBlock::free(data, mapped).
class RawBlock {
 public:
  RawBlock() = default;
  RawBlock(RawBlock&& other) noexcept;
  RawBlock& operator=(RawBlock&& other) noexcept;
  RawBlock(const RawBlock&) = delete;
  RawBlock& operator=(const RawBlock&) = delete;
  ~RawBlock() { free(data_, mapped_); }

  // Empty (and false) when the memory cannot be had.
  static RawBlock allocate(size_t bytes) noexcept;
  // Frees what release() handed out: `mapped` is its mapped length, 0 for a malloc'd block.
  static void free(uint8_t* data, size_t mapped) noexcept;

  explicit operator bool() const noexcept { return data_ != nullptr; }
  uint8_t* data() const noexcept { return data_; }
  // Gives the block back down to `bytes` (keeping it whole if the system declines).
  void shrink(size_t bytes) noexcept;
  struct Released {
    uint8_t* data;
    size_t mapped;
  };
  // The caller now owns the memory.
  Released release() noexcept;

 private:
  uint8_t* data_ = nullptr;
  size_t mapped_ = 0;  // length of the mapping; 0 when malloc'd
};

enum class BatchColumn : uint8_t {
  FrameId,             // u64
  Round,               // u32
  TimestampNs,         // u64
  QubitCount,          // u16
  AncillaCount,        // u16
  DetectorEventCount,  // u32
  CodeType,            // u8
  Distance,            // u8
  Flags,               // u16
  ObservableFlips,     // u64, 0 where the frame carries no mask
  HasObservableFlips,  // u8 (0/1)
  DetectorEvents,      // rows of event_row_bytes()
  MeasResults,         // rows of ancilla_count() signed bytes
  HasPayloadChecksum,  // u8 (0/1): the frame carried a payload checksum, which matched
};
inline constexpr size_t kBatchColumns = 14;

struct BatchAllocError {
  bool too_large;  // the sizes overflow; otherwise the memory could not be allocated
  uint64_t frames;
  uint64_t ancilla_count;
  std::string message() const;
};

class FrameBatch {
 public:
  // A batch with no frames (what the end of a stream gives).
  static FrameBatch empty(bool bit_packed) noexcept;
  // Room for `capacity` frames of `ancilla_count` detectors each.
  static Result<FrameBatch, BatchAllocError> allocate(uint64_t capacity, uint16_t ancilla_count,
                                                      bool bit_packed) noexcept;

  uint64_t size() const noexcept { return size_; }
  uint64_t capacity() const noexcept { return capacity_; }
  uint16_t ancilla_count() const noexcept { return ancilla_count_; }
  bool bit_packed() const noexcept { return bit_packed_; }
  size_t event_row_bytes() const noexcept { return row_bytes(ancilla_count_, bit_packed_); }
  static size_t row_bytes(uint16_t ancilla_count, bool bit_packed) noexcept {
    return bit_packed ? (size_t(ancilla_count) + 7) / 8 : ancilla_count;
  }
  // Bytes per element of a column (per frame for the two matrices).
  size_t element_bytes(BatchColumn column) const noexcept;

  // Appends one frame of this batch's ancilla count; size() < capacity() is required.
  void append(const ParsedFrame& frame) noexcept;
  // The same from the frame's parts: its header, run-length encoded detector events, its
  // ancilla_count measurement bytes, its observable mask if it carries one, and whether it carried
  // a payload checksum.
  void append(const FrameHeader& header, std::span<const uint8_t> detector_rle, const void* meas_results,
              const uint64_t* observable_flips, bool payload_checksum = false) noexcept;
  // Removes the last frame.
  void drop_last() noexcept { --size_; }
  void set_observable_flips(uint64_t row, uint64_t mask) noexcept;
  // The detector-event bytes of a row as stored (packed or not).
  std::span<const uint8_t> detector_row(uint64_t row) const noexcept;

  // Shrinks every column to size() frames.
  void shrink_to_fit() noexcept;
  RawBlock& column(BatchColumn c) noexcept { return columns_[size_t(c)]; }

 private:
  std::array<RawBlock, kBatchColumns> columns_;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
  uint16_t ancilla_count_ = 0;
  bool bit_packed_ = false;
};

// Expands run-length encoded detector events into `ancilla_count` bits, detector i in bit i % 8 of
// byte i / 8; `out` holds ceil(ancilla_count / 8) bytes. Unused high bits of the last byte are 0.
void pack_detector_rle(std::span<const uint8_t> rle, uint16_t ancilla_count, std::span<uint8_t> out) noexcept;

}  // namespace ostrel::qssf
