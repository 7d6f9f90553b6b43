#include "ostrel/decode/matching/event_queue.h"

#include <gtest/gtest.h>

#include <queue>
#include <random>
#include <tuple>
#include <vector>

namespace ostrel::decode::matching {
namespace {

struct Later {
  bool operator()(const QueuedEvent& a, const QueuedEvent& b) const { return a.time > b.time; }
};

// Random pushes at or after the last time taken out (bursts of equal times, small steps and jumps
// across many bits), pops and clears, against a binary heap: the same times come out in the same
// order, and every entry pushed comes out once.
TEST(EventQueue, TakesOutWhatAPriorityQueueWouldInTimeOrder) {
  std::mt19937_64 rng(3);
  EventQueue queue;
  for (int trial = 0; trial < 200; ++trial) {
    std::priority_queue<QueuedEvent, std::vector<QueuedEvent>, Later> oracle;
    std::vector<uint32_t> seen_out(5000, 0);
    uint32_t pushed = 0;
    Time last = 0;
    const int steps = 1 + static_cast<int>(rng() % 2000);
    for (int s = 0; s < steps; ++s) {
      if (oracle.empty() || rng() % 3 != 0) {
        Time at = last;
        switch (rng() % 4) {
          case 0: break;  // the time being handled
          case 1: at += static_cast<Time>(rng() % 8); break;
          case 2: at += static_cast<Time>(rng() % 100000); break;
          default: at += static_cast<Time>(rng() % (Time{1} << 40)); break;
        }
        const QueuedEvent e{at, pushed % 5000, pushed, QueuedEvent::kNodeLook};
        ++pushed;
        queue.push(e);
        oracle.push(e);
      } else {
        ASSERT_FALSE(queue.empty());
        const QueuedEvent got = queue.pop();
        ASSERT_EQ(got.time, oracle.top().time) << "trial " << trial << " step " << s;
        ASSERT_GE(got.time, last);
        last = got.time;
        oracle.pop();
        ++seen_out[got.version % 5000];
      }
    }
    uint32_t left = 0;
    if (trial % 2) {
      while (!queue.empty()) {
        const QueuedEvent got = queue.pop();
        ASSERT_EQ(got.time, oracle.top().time);
        oracle.pop();
        ++seen_out[got.version % 5000];
      }
    } else {
      left = static_cast<uint32_t>(oracle.size());
    }
    queue.clear();  // the next trial starts from time 0 again
    ASSERT_TRUE(queue.empty());
    uint32_t out = 0;
    for (const uint32_t k : seen_out) out += k;
    EXPECT_EQ(out + left, pushed);
  }
}

}  // namespace
}  // namespace ostrel::decode::matching
