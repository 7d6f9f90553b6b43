#include "ostrel/qssf/ring_buffer.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace ostrel::qssf {

RingBuffer::RingBuffer(uint64_t capacity)
    : storage_(std::make_unique_for_overwrite<uint8_t[]>(capacity)),
      capacity_(capacity),
      mask_(capacity > 1 && (capacity & (capacity - 1)) == 0 ? capacity - 1 : 0) {
  assert(capacity > 0);
}

uint64_t RingBuffer::push(std::span<const uint8_t> bytes) noexcept {
  const uint64_t k = std::min<uint64_t>(bytes.size(), free());
  if (k == 0) return 0;
  const uint64_t i = index(write_);
  const uint64_t first = std::min(k, capacity_ - i);
  std::memcpy(storage_.get() + i, bytes.data(), first);
  if (k > first) std::memcpy(storage_.get(), bytes.data() + first, k - first);
  write_ += k;
  return k;
}

std::span<uint8_t> RingBuffer::write_space() noexcept {
  const uint64_t i = index(write_);
  return {storage_.get() + i, std::min(free(), capacity_ - i)};
}

void RingBuffer::commit(uint64_t n) noexcept {
  assert(n <= free());
  write_ += n;
}

std::optional<std::span<const uint8_t>> RingBuffer::view(uint64_t n, std::vector<uint8_t>& scratch) const {
  if (unread() < n) return std::nullopt;
  const uint64_t i = index(read_);
  if (i + n <= capacity_) return std::span<const uint8_t>(storage_.get() + i, n);
  const uint64_t first = capacity_ - i;
  scratch.resize(n);
  std::memcpy(scratch.data(), storage_.get() + i, first);
  std::memcpy(scratch.data() + first, storage_.get(), n - first);
  return std::span<const uint8_t>(scratch.data(), n);
}

}  // namespace ostrel::qssf
