#include "ostrel/io/blocking_pool.h"

#include <system_error>

namespace ostrel::io {

BlockingPool::BlockingPool(size_t max_threads, std::chrono::milliseconds keep_alive)
    : max_threads_(max_threads), keep_alive_(keep_alive) {}

BlockingPool::~BlockingPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  // Workers never erase themselves, so the list is stable while we join.
  for (auto& w : workers_)
    if (w.thread.joinable()) w.thread.join();
}

void BlockingPool::reap_finished() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->finished) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool BlockingPool::submit(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  if (stopping_) return false;
  reap_finished();
  if (idle_ == 0) {
    if (workers_.size() >= max_threads_) {
      // Every thread is busy and no more may start: the task waits its turn.
      tasks_.push_back(std::move(task));
      return true;
    }
    auto it = workers_.emplace(workers_.end());
    try {
      it->thread = std::thread([this, it] { run(it); });
    } catch (const std::system_error&) {
      workers_.erase(it);
      if (workers_.empty()) return false;
    }
  }
  tasks_.push_back(std::move(task));
  wake_.notify_one();
  return true;
}

size_t BlockingPool::thread_count() {
  std::lock_guard lock(mutex_);
  reap_finished();
  return workers_.size();
}

void BlockingPool::run(std::list<Worker>::iterator self) {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    const bool woke = wake_.wait_for(lock, keep_alive_, [&] { return stopping_ || !tasks_.empty(); });
    --idle_;
    if (!tasks_.empty()) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      try {
        task();
      } catch (...) {
        // Tasks report their own failures; one that throws must not take the thread down.
      }
      lock.lock();
      continue;
    }
    if (stopping_ || !woke) break;
  }
  self->finished = true;
}

}  // namespace ostrel::io
