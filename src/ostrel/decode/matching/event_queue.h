#pragma once
// The flooder's queue of events in time. Time never runs backwards (every event is queued at or
// after the time being handled), so a radix heap serves: entries sit in buckets by the highest
// bit in which their time differs from the last time taken out, and only the lowest non-empty
// bucket is ever sorted out again. Buckets keep their capacity between decodes; stale entries
// are left in and skipped by their version when they come up.
#include <array>
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
    buckets_[bucket_of(e.time)].push_back(e);
    ++size_;
  }
  bool empty() const { return size_ == 0; }
  QueuedEvent pop() {
    if (buckets_[0].empty()) {
      size_t b = 1;
      while (buckets_[b].empty()) ++b;
      // The smallest time of the lowest bucket becomes the reference; its entries spread out
      // into lower buckets, the smallest into bucket 0.
      Time least = buckets_[b].front().time;
      for (const QueuedEvent& e : buckets_[b]) least = e.time < least ? e.time : least;
      last_ = least;
      for (const QueuedEvent& e : buckets_[b]) buckets_[bucket_of(e.time)].push_back(e);
      buckets_[b].clear();
    }
    const QueuedEvent e = buckets_[0].back();
    buckets_[0].pop_back();
    --size_;
    return e;
  }
  void clear() {
    for (auto& b : buckets_) b.clear();
    size_ = 0;
    last_ = 0;
  }

 private:
  size_t bucket_of(Time t) const {
    const auto diff = static_cast<uint64_t>(t ^ last_);
    return diff == 0 ? 0 : static_cast<size_t>(64 - __builtin_clzll(diff));
  }
  std::array<std::vector<QueuedEvent>, 65> buckets_;
  size_t size_ = 0;
  Time last_ = 0;
};

}  // namespace ostrel::decode::matching
