#pragma once
// The flooder's queue of events in time: a binary min-heap over a vector that keeps its capacity
// between decodes. Stale entries are left in and skipped by their version when they come up.
#include <algorithm>
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
  void push(const QueuedEvent& e) {
    heap_.push_back(e);
    std::push_heap(heap_.begin(), heap_.end(), later);
  }
  bool empty() const { return heap_.empty(); }
  QueuedEvent pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const QueuedEvent e = heap_.back();
    heap_.pop_back();
    return e;
  }
  void clear() { heap_.clear(); }

 private:
  static bool later(const QueuedEvent& a, const QueuedEvent& b) { return a.time > b.time; }
  std::vector<QueuedEvent> heap_;
};

}  // namespace ostrel::decode::matching
