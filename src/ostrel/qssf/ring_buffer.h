#pragma once
// Fixed-size byte ring between a byte source and the frame parser. Positions only grow; the byte at
// position p lives at index p % capacity. Views are in place unless they wrap, in which case the
// caller's scratch buffer holds a contiguous copy.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::qssf {

class RingBuffer {
 public:
  explicit RingBuffer(uint64_t capacity);

  uint64_t capacity() const noexcept { return capacity_; }
  uint64_t unread() const noexcept { return write_ - read_; }
  uint64_t free() const noexcept { return capacity_ - unread(); }

  // Stores as many bytes as fit; returns how many.
  uint64_t push(std::span<const uint8_t> bytes) noexcept;
  // The writable region at the write position (contiguous, possibly shorter than free()); bytes
  // written there become unread after commit(n).
  std::span<uint8_t> write_space() noexcept;
  void commit(uint64_t n) noexcept;
  // The next n unread bytes, or nothing when fewer are unread. Does not consume. A view that wraps
  // around the end of the storage is a copy in `scratch`, valid until scratch's next use.
  std::optional<std::span<const uint8_t>> view(uint64_t n, std::vector<uint8_t>& scratch) const;
  // The unread bytes from the read position up to the end of the storage: those that can be read
  // in place without a copy. Does not consume.
  std::span<const uint8_t> contiguous_unread() const noexcept {
    const uint64_t i = index(read_);
    return {storage_.get() + i, std::min(unread(), capacity_ - i)};
  }
  bool has(uint64_t n) const noexcept { return unread() >= n; }
  void advance(uint64_t n) noexcept { read_ += n; }
  // Counts n bytes the reader took from the source without storing them here (read in place):
  // both positions move on, so positions stay the source's. Only when nothing is unread.
  void pass(uint64_t n) noexcept {
    read_ += n;
    write_ += n;
  }

  // Positions only grow; a consumed byte stays in storage until a write reuses its slot, so the
  // read position can move back to `position` as long as no write has wrapped onto it.
  uint64_t read_position() const noexcept { return read_; }
  uint64_t write_position() const noexcept { return write_; }
  bool can_rewind_to(uint64_t position) const noexcept {
    return position <= read_ && write_ - position <= capacity_;
  }
  void rewind_to(uint64_t position) noexcept { read_ = position; }  // needs can_rewind_to

 private:
  // A power-of-two capacity (the default) maps positions with a mask: a division per view would
  // cost as much as the rest of reading a small frame's section.
  uint64_t index(uint64_t position) const noexcept { return mask_ ? position & mask_ : position % capacity_; }

  std::unique_ptr<uint8_t[]> storage_;
  uint64_t capacity_;
  uint64_t mask_;  // capacity - 1 for a power-of-two capacity, else 0
  uint64_t read_ = 0;
  uint64_t write_ = 0;
};

}  // namespace ostrel::qssf
