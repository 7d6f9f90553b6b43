#pragma once
// Threads for blocking work (file opens and reads, host-name lookups), created on demand up to a
// limit; a thread idle for the keep-alive time retires. Destruction joins every thread.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace ostrel::io {

class BlockingPool {
 public:
  static constexpr size_t kMaxThreads = 512;

  explicit BlockingPool(size_t max_threads = kMaxThreads,
                        std::chrono::milliseconds keep_alive = std::chrono::seconds(10));
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Queues a task; false when no thread could be started for it.
  bool submit(std::function<void()> task);
  size_t thread_count();

 private:
  struct Worker {
    std::thread thread;
    bool finished = false;
  };
  void run(std::list<Worker>::iterator self);
  void reap_finished();  // joins retired threads; caller holds mutex_

  const size_t max_threads_;
  const std::chrono::milliseconds keep_alive_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::list<Worker> workers_;
  size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace ostrel::io
