#include "ostrel/io/io_runtime.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "ostrel/io/test_sockets.h"

namespace ostrel::io {
namespace {

using testing::fd_count;
using testing::settled_thread_count;
using testing::thread_count;
using testing::thread_count_settles_at;

TEST(IoRuntime, HasOneWorkerPerProcessorAndJoinsEveryThreadWhenDestroyed) {
  const int threads = settled_thread_count();
  const int fds = fd_count();
  {
    auto runtime = IoRuntime::create();
    ASSERT_TRUE(runtime.ok()) << runtime.error();
    const size_t cpus = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ((*runtime)->worker_count(), cpus);
    ASSERT_TRUE((*runtime)->run_blocking([] { return 0; }).has_value());
    EXPECT_EQ((*runtime)->blocking_thread_count(), 1u);
    EXPECT_TRUE(thread_count_settles_at(threads + int(cpus) + 1)) << thread_count();
  }
  EXPECT_TRUE(thread_count_settles_at(threads)) << thread_count();
  EXPECT_EQ(fd_count(), fds);
}

TEST(IoRuntime, RunBlockingRunsOffTheCallingThreadAndReturnsTheResult) {
  auto runtime = IoRuntime::create();
  ASSERT_TRUE(runtime.ok());
  const auto caller = std::this_thread::get_id();
  auto ran_on = (*runtime)->run_blocking([] { return std::this_thread::get_id(); });
  ASSERT_TRUE(ran_on.has_value());
  EXPECT_NE(*ran_on, caller);
  EXPECT_EQ((*runtime)->run_blocking([] { return std::string("done"); }), "done");
}

TEST(IoRuntime, ATaskThatThrowsGivesNoResult) {
  auto runtime = IoRuntime::create();
  ASSERT_TRUE(runtime.ok());
  auto r = (*runtime)->run_blocking([]() -> int { throw std::runtime_error("lost"); });
  EXPECT_FALSE(r.has_value());
  EXPECT_EQ((*runtime)->run_blocking([] { return 7; }), 7);  // the pool still works
}

TEST(IoRuntime, WaitReadyReturnsOnceAnotherThreadMakesTheSocketReadable) {
  auto runtime = IoRuntime::create();
  ASSERT_TRUE(runtime.ok());
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]), b(pair[1]);
  bool registered = false;
  for (int round = 0; round < 3; ++round) {  // the first wait adds the socket, the others re-arm it
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ASSERT_EQ(::send(b.get(), "x", 1, 0), 1);
    });
    EXPECT_EQ((*runtime)->wait_ready(a.get(), EPOLLIN, registered), 0);
    writer.join();
    EXPECT_TRUE(registered);
    char c;
    EXPECT_EQ(::recv(a.get(), &c, 1, 0), 1);
  }
}

// A wait given up by its interrupt leaves an armed registration nobody waits for; a later event
// on it must neither touch the abandoned waiter nor keep the next wait from seeing readiness.
TEST(IoRuntime, InterruptedWaitGivesUpAndTheNextWaitStillSeesData) {
  auto runtime = IoRuntime::create();
  ASSERT_TRUE(runtime.ok());
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]), b(pair[1]);
  bool registered = false;
  int checks = 0;
  const WaitInterrupt stop_on_third{std::chrono::milliseconds(2),
                                    [](void* n) { return ++*static_cast<int*>(n) == 3; }, &checks};
  EXPECT_EQ((*runtime)->wait_ready(a.get(), EPOLLIN, registered, &stop_on_third), Reactor::kInterrupted);
  EXPECT_EQ(checks, 3);
  ASSERT_EQ(::send(b.get(), "x", 1, 0), 1);  // fires the abandoned registration
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(::send(b.get(), "y", 1, 0), 1);
  });
  EXPECT_EQ((*runtime)->wait_ready(a.get(), EPOLLIN, registered), 0);  // re-armed: data is there
  writer.join();
  char c[2];
  EXPECT_EQ(::recv(a.get(), c, 2, MSG_WAITALL), 2);
}

// Another thread's wake_waiters makes a blocked caller run its check at once, however long its
// interval; its release and reacquire bracket the blocking, with the checks in between.
TEST(IoRuntime, WakeWaitersRunsTheCheckAtOnceInsideTheReleasedStretch) {
  auto runtime = IoRuntime::create();
  ASSERT_TRUE(runtime.ok());
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  UniqueFd a(pair[0]), b(pair[1]);
  struct Log {
    std::atomic<bool> stop{false};
    std::atomic<bool> released{false};
    std::string events;  // written by the waiting thread only
  } log;
  const WaitInterrupt interrupt{
      std::chrono::hours(1),
      [](void* c) {
        auto* l = static_cast<Log*>(c);
        l->events += l->released ? "c" : "C";
        return l->stop.load();
      },
      &log,
      [](void* c) {
        static_cast<Log*>(c)->events += "r";
        static_cast<Log*>(c)->released = true;
      },
      [](void* c) {
        static_cast<Log*>(c)->events += "a";
        static_cast<Log*>(c)->released = false;
      }};
  std::thread closer([&] {
    while (!log.released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    log.stop = true;
    (*runtime)->wake_waiters();
  });
  bool registered = false;
  EXPECT_EQ((*runtime)->wait_ready(a.get(), EPOLLIN, registered, &interrupt), Reactor::kInterrupted);
  closer.join();
  EXPECT_EQ(log.events, "Crca");  // checked before blocking (lock held), then once when woken
  // A check that stops before blocking never releases.
  log.events.clear();
  EXPECT_EQ((*runtime)->wait_ready(a.get(), EPOLLIN, registered, &interrupt), Reactor::kInterrupted);
  EXPECT_EQ(log.events, "C");
}

TEST(IoRuntime, ManyRuntimesComeAndGoWithoutLeaks) {
  const int threads = settled_thread_count();
  const int fds = fd_count();
  for (int i = 0; i < 200; ++i) {
    auto runtime = IoRuntime::create();
    ASSERT_TRUE(runtime.ok());
    if (i % 2) {
      ASSERT_TRUE((*runtime)->run_blocking([] { return 1; }).has_value());
    }
  }
  EXPECT_TRUE(thread_count_settles_at(threads)) << thread_count();
  EXPECT_EQ(fd_count(), fds);
}

}  // namespace
}  // namespace ostrel::io
