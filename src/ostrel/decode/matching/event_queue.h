#pragma once
// The flooder's queue of events in time. Time never runs backwards (every event is queued at or
// after the time being handled), so a radix heap serves: entries sit in buckets by the highest
// bit in which their time differs from the last time taken out, and only the lowest non-empty
// bucket is ever sorted out again. Buckets keep their capacity between decodes; stale entries
// are left in and skipped by their version when they come up.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ostrel/decode/matching/region.h"

namespace ostrel::decode::matching {

struct QueuedEvent {
  enum Kind : uint8_t { kNodeLook, kRegionShrink };
  Time time;
  uint32_t index;  // node or region
  uint32_t version;
  Kind kind;
};

class EventQueue {
 public:
  // `e.time` must not be earlier than the last time taken out.
  void push(const QueuedEvent& e) {
    put(e);
    ++size_;
  }
  bool empty() const { return size_ == 0; }
  QueuedEvent pop() {
    if (buckets_[0].empty()) {
      // The lowest non-empty bucket (bit b - 1 of `filled_` stands for bucket b).
      const auto b = static_cast<size_t>(__builtin_ctzll(filled_)) + 1;
      // The smallest time of that bucket becomes the reference; its entries spread out into
      // lower buckets, the smallest into bucket 0.
      Time least = buckets_[b].front().time;
      for (const QueuedEvent& e : buckets_[b]) least = e.time < least ? e.time : least;
      last_ = least;
      filled_ &= ~(uint64_t{1} << (b - 1));
      for (const QueuedEvent& e : buckets_[b]) put(e);
      buckets_[b].clear();
    }
    const QueuedEvent e = buckets_[0].back();
    buckets_[0].pop_back();
    --size_;
    return e;
  }
  void clear() {
    buckets_[0].clear();
    for (uint64_t bits = filled_; bits; bits &= bits - 1) buckets_[static_cast<size_t>(__builtin_ctzll(bits)) + 1].clear();
    filled_ = 0;
    size_ = 0;
    last_ = 0;
  }

 private:
  void put(const QueuedEvent& e) {
    const auto diff = static_cast<uint64_t>(e.time ^ last_);
    if (diff == 0) {
      buckets_[0].push_back(e);
      return;
    }
    const auto b = static_cast<size_t>(64 - __builtin_clzll(diff));
    buckets_[b].push_back(e);
    filled_ |= uint64_t{1} << (b - 1);
  }
  std::array<std::vector<QueuedEvent>, 65> buckets_;
  uint64_t filled_ = 0;
  size_t size_ = 0;
  Time last_ = 0;
};

}  // namespace ostrel::decode::matching
