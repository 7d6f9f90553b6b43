#include "ostrel/io/fork_detach.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace ostrel::io {
namespace {

std::mutex registry_mutex;
std::vector<int>* registry = nullptr;  // leaked on purpose: atfork handlers outlive statics
std::atomic<uint32_t> generation{0};

// The registry's lock is held across fork, so the child finds the list whole and unlocked.
void before_fork() { registry_mutex.lock(); }
void in_parent() { registry_mutex.unlock(); }
void in_child() {
  generation.fetch_add(1, std::memory_order_relaxed);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd : *registry) {
    // dup3 closes fd's reference and reuses its number atomically; without /dev/null the
    // descriptor is closed, and its number may be reused by the child for something else.
    if (null < 0 || ::dup3(null, fd, O_CLOEXEC) < 0) ::close(fd);
  }
  if (null >= 0) ::close(null);
  registry->clear();
  registry_mutex.unlock();
}

}  // namespace

void detach_at_fork(int fd) {
  std::lock_guard lock(registry_mutex);
  if (!registry) {
    registry = new std::vector<int>();
    pthread_atfork(before_fork, in_parent, in_child);
  }
  registry->push_back(fd);
}

void forget_at_fork(int fd) noexcept {
  std::lock_guard lock(registry_mutex);
  if (!registry) return;
  auto at = std::find(registry->begin(), registry->end(), fd);
  if (at != registry->end()) registry->erase(at);
}

uint32_t fork_generation() noexcept { return generation.load(std::memory_order_relaxed); }

}  // namespace ostrel::io
