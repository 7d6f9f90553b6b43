#pragma once
// Worker threads that wait for socket readiness on one epoll instance and wake the thread that
// asked. A caller registers interest in a descriptor, then blocks until a worker reports it ready.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel/util/result.h"
#include "ostrel/util/unique_fd.h"
#include "ostrel/util/wait_interrupt.h"

namespace ostrel::io {

class Reactor {
 public:
  // Starts `threads` workers; on failure returns the errno of what failed.
  static Result<std::unique_ptr<Reactor>, int> start(unsigned threads);
  ~Reactor();  // wakes and joins every worker
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

  // Returned by wait() when the caller's interrupt ended the wait.
  static constexpr int kInterrupted = -1;

  // Blocks until `fd` is readable (events = EPOLLIN) or writable (EPOLLOUT), or has an error or
  // hang-up pending. Returns 0, an errno, or kInterrupted when `interrupt` (if given) asked to stop.
  // `registered` tracks whether fd is known to epoll yet.
  // With an interrupt its check runs before blocking and then every interval, or at once when
  // wake_all() is called; the interrupt's release and reacquire bracket the blocking.
  int wait(int fd, uint32_t events, bool& registered, const WaitInterrupt* interrupt = nullptr);
  // Makes every caller blocked in wait() run its interrupt's check now (another thread's close).
  void wake_all();
  size_t thread_count() const noexcept { return workers_.size(); }

 private:
  // One blocked caller, on its own stack. Workers find it by id under waiters_mutex_ only, and the
  // caller removes it under that mutex before leaving, so a late event never touches a dead one.
  struct Waiter {
    uint64_t id = 0;
    bool done = false;
    bool woken = false;  // wake_all() asked for a check
    std::condition_variable ready;
  };

  Reactor() = default;
  void run();
  void remove(const Waiter* waiter);  // caller holds waiters_mutex_

  UniqueFd epoll_;
  UniqueFd shutdown_;  // an eventfd that, once written, wakes every worker for good; its id is 0
  std::vector<std::thread> workers_;
  std::mutex waiters_mutex_;
  std::vector<Waiter*> waiters_;  // callers waiting now (normally one); capacity is reused
  uint64_t next_id_ = 1;
};

}  // namespace ostrel::io
