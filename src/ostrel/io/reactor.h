#pragma once
// Worker threads that wait for socket readiness on one epoll instance and wake the thread that
// asked. A caller registers interest in a descriptor, then blocks until a worker reports it ready.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "ostrel/util/result.h"
#include "ostrel/util/unique_fd.h"

namespace ostrel::io {

class Reactor {
 public:
  // Starts `threads` workers; on failure returns the errno of what failed.
  static Result<std::unique_ptr<Reactor>, int> start(unsigned threads);
  ~Reactor();  // wakes and joins every worker
  Reactor(const Reactor&) = delete;
  Reactor& operator=(const Reactor&) = delete;

  // Blocks until `fd` is readable (events = EPOLLIN) or writable (EPOLLOUT), or has an error or
  // hang-up pending. Returns 0 or an errno. `registered` tracks whether fd is known to epoll yet.
  int wait(int fd, uint32_t events, bool& registered);
  size_t thread_count() const noexcept { return workers_.size(); }

 private:
  Reactor() = default;
  void run();

  UniqueFd epoll_;
  UniqueFd shutdown_;  // an eventfd that, once written, wakes every worker for good
  std::vector<std::thread> workers_;
  std::atomic<uint64_t> published_{0};  // bumped before each registration, read after each wake
};

}  // namespace ostrel::io
