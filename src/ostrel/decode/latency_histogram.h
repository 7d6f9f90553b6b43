#pragma once
// A histogram of durations in nanoseconds with fixed memory: exact below 32 ns, then 16 buckets
// per power of two (each bucket at most 1/16 of its lower edge wide). Percentiles report a
// bucket's upper edge, so they never understate a latency by more than that width.
#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrel::decode {

class LatencyHistogram {
 public:
  void record(uint64_t nanoseconds) noexcept;
  uint64_t count() const noexcept { return count_; }
  uint64_t max() const noexcept { return max_; }
  double mean() const noexcept { return count_ ? static_cast<double>(sum_) / static_cast<double>(count_) : 0.0; }
  // The smallest bucket edge at or below which `fraction` (0..1) of the recorded durations lie;
  // 0 when nothing was recorded.
  uint64_t percentile(double fraction) const noexcept;
  void clear() noexcept { *this = LatencyHistogram(); }

 private:
  static constexpr unsigned kSubBits = 4;
  static constexpr size_t kBuckets = (64 - kSubBits) * (1u << kSubBits) + (2u << kSubBits);
  static size_t bucket_of(uint64_t ns) noexcept;
  static uint64_t upper_edge(size_t bucket) noexcept;

  std::array<uint64_t, kBuckets> buckets_{};
  uint64_t count_ = 0;
  uint64_t sum_ = 0;
  uint64_t max_ = 0;
};

}  // namespace ostrel::decode
