#include "ostrel/io/blocking_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "ostrel/io/test_sockets.h"

namespace ostrel::io {
namespace {

using testing::settled_thread_count;
using testing::thread_count;
using testing::thread_count_settles_at;

// Holds tasks until released, and counts how many have started.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  int started = 0;
  bool open = false;

  void pass() {
    std::unique_lock lock(mutex);
    ++started;
    cv.notify_all();
    cv.wait(lock, [&] { return open; });
  }
  void wait_started(int n) {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return started >= n; });
  }
  void release() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
};

template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 400; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

TEST(BlockingPool, StartsThreadsOnDemandUpToItsLimitThenQueues) {
  std::thread([] {}).join();  // a sanitizer starts its helper thread with the first thread
  const int before = settled_thread_count();
  Gate gate;
  std::atomic<int> finished{0};
  {
    BlockingPool pool(3);
    EXPECT_EQ(pool.thread_count(), 0u);
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(pool.submit([&] {
        gate.pass();
        ++finished;
      }));
    gate.wait_started(3);
    EXPECT_EQ(pool.thread_count(), 3u);
    EXPECT_TRUE(thread_count_settles_at(before + 3)) << thread_count();
    EXPECT_EQ(gate.started, 3);  // the other two wait for a free thread
    gate.release();
    EXPECT_TRUE(eventually([&] { return finished == 5; }));
    EXPECT_EQ(pool.thread_count(), 3u);
  }
  EXPECT_TRUE(thread_count_settles_at(before)) << thread_count();
}

TEST(BlockingPool, IdleThreadsRetireAndNewWorkStartsAnother) {
  BlockingPool pool(4, std::chrono::milliseconds(20));
  std::atomic<int> runs{0};
  ASSERT_TRUE(pool.submit([&] { ++runs; }));
  EXPECT_TRUE(eventually([&] { return runs == 1 && pool.thread_count() == 0; }));
  ASSERT_TRUE(pool.submit([&] { ++runs; }));
  EXPECT_TRUE(eventually([&] { return runs == 2; }));
}

TEST(BlockingPool, ReusesAnIdleThread) {
  BlockingPool pool;
  std::atomic<int> runs{0};
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(pool.submit([&] { ++runs; }));
    ASSERT_TRUE(eventually([&] { return runs == i + 1; }));
  }
  EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(BlockingPool, AThrowingTaskDoesNotStopTheThread) {
  BlockingPool pool(1);  // the second task can only run on the thread the first one threw on
  std::atomic<bool> ran{false};
  ASSERT_TRUE(pool.submit([] { throw std::runtime_error("boom"); }));
  ASSERT_TRUE(pool.submit([&] { ran = true; }));
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
  EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(BlockingPool, DestructionJoinsIdleThreadsAtOnce) {
  const int before = settled_thread_count();
  {
    BlockingPool pool(8, std::chrono::hours(1));
    Gate gate;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.submit([&] { gate.pass(); }));
    gate.wait_started(4);
    gate.release();
    EXPECT_TRUE(thread_count_settles_at(before + 4)) << thread_count();
  }
  EXPECT_TRUE(thread_count_settles_at(before)) << thread_count();  // without waiting out the hour of keep-alive
}

}  // namespace
}  // namespace ostrel::io
