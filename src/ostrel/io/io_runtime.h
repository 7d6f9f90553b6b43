#pragma once
// The I/O machinery one stream owns: readiness workers (one per logical processor) and a pool for
// blocking work. The calling thread hands each wait to it and blocks until it completes.
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "ostrel/io/blocking_pool.h"
#include "ostrel/io/reactor.h"
#include "ostrel/util/result.h"

namespace ostrel::io {

class IoRuntime {
 public:
  // On failure: the operating system's description of what went wrong.
  static Result<std::unique_ptr<IoRuntime>, std::string> create();
  ~IoRuntime() = default;  // the pool and the workers join their threads

  // Runs f() on the blocking pool and waits for its result; nothing when the task could not run.
  // The wait runs `interrupt`'s release and reacquire around it (not its check: the task, which
  // refers to the caller's stack, cannot be abandoned).
  template <class F>
  std::optional<std::invoke_result_t<F&>> run_blocking(F&& f, const WaitInterrupt* interrupt = nullptr);

  // Blocks until fd is ready for `events` (EPOLLIN / EPOLLOUT); 0, an errno, or
  // Reactor::kInterrupted when `interrupt` ended the wait.
  int wait_ready(int fd, uint32_t events, bool& registered,
                 const WaitInterrupt* interrupt = nullptr) {
    return reactor_->wait(fd, events, registered, interrupt);
  }
  // Every wait_ready under way runs its interrupt's check now.
  void wake_waiters() { reactor_->wake_all(); }

  size_t worker_count() const noexcept { return reactor_->thread_count(); }
  size_t blocking_thread_count() { return pool_.thread_count(); }

 private:
  IoRuntime(std::unique_ptr<Reactor> reactor) : reactor_(std::move(reactor)) {}

  std::unique_ptr<Reactor> reactor_;
  BlockingPool pool_;
};

template <class F>
std::optional<std::invoke_result_t<F&>> IoRuntime::run_blocking(F&& f, const WaitInterrupt* interrupt) {
  std::optional<std::invoke_result_t<F&>> out;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  const bool queued = pool_.submit([&] {
    try {
      out.emplace(f());
    } catch (...) {
      // reported as an empty result
    }
    std::lock_guard lock(mutex);
    done = true;
    cv.notify_one();  // under the lock: the waiter cannot leave (and destroy cv) before this
  });
  if (!queued) return std::nullopt;
  BlockingStretch blocked(interrupt);
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return done; });
  return out;
}

}  // namespace ostrel::io
