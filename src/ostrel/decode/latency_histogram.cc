#include "ostrel/decode/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace ostrel::decode {

// Values below 2^(kSubBits+1) have a bucket each. Above, a value with its highest bit at position
// h >= kSubBits+1 falls in octave h - kSubBits, sub-bucket given by the kSubBits bits after the top.
size_t LatencyHistogram::bucket_of(uint64_t ns) noexcept {
  constexpr uint64_t kExact = uint64_t{2} << kSubBits;
  if (ns < kExact) return static_cast<size_t>(ns);
  const unsigned top = static_cast<unsigned>(std::bit_width(ns)) - 1;  // >= kSubBits + 1
  const unsigned shift = top - kSubBits;
  const uint64_t sub = (ns >> shift) & ((uint64_t{1} << kSubBits) - 1);
  return static_cast<size_t>(kExact + (static_cast<uint64_t>(shift) - 1) * (uint64_t{1} << kSubBits) + sub);
}

uint64_t LatencyHistogram::upper_edge(size_t bucket) noexcept {
  constexpr uint64_t kExact = uint64_t{2} << kSubBits;
  if (bucket < kExact) return bucket;
  const uint64_t k = bucket - kExact;
  const unsigned shift = static_cast<unsigned>(k >> kSubBits) + 1;
  const uint64_t sub = k & ((uint64_t{1} << kSubBits) - 1);
  const uint64_t lower = ((uint64_t{1} << kSubBits) | sub) << shift;
  return lower + ((uint64_t{1} << shift) - 1);
}

void LatencyHistogram::record(uint64_t nanoseconds) noexcept {
  ++buckets_[bucket_of(nanoseconds)];
  ++count_;
  sum_ += nanoseconds;
  max_ = std::max(max_, nanoseconds);
}

uint64_t LatencyHistogram::percentile(double fraction) const noexcept {
  if (count_ == 0) return 0;
  fraction = std::clamp(fraction, 0.0, 1.0);
  const auto rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_))));
  uint64_t seen = 0;
  for (size_t b = 0; b < kBuckets; ++b) {
    seen += buckets_[b];
    if (seen >= rank) return std::min(upper_edge(b), max_);
  }
  return max_;
}

}  // namespace ostrel::decode
