#include "ostrel/io/reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace ostrel::io {
namespace {

// One blocked caller; lives on the caller's stack until a worker has signalled it.
struct Waiter {
  std::mutex mutex;
  std::condition_variable ready;
  bool done = false;
};

}  // namespace

Result<std::unique_ptr<Reactor>, int> Reactor::start(unsigned threads) {
  std::unique_ptr<Reactor> r(new Reactor());
  r->epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!r->epoll_) return fail(errno);
  r->shutdown_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!r->shutdown_) return fail(errno);
  epoll_event ev{};
  ev.events = EPOLLIN;  // level-triggered: once written it wakes every worker
  ev.data.ptr = nullptr;
  if (::epoll_ctl(r->epoll_.get(), EPOLL_CTL_ADD, r->shutdown_.get(), &ev) != 0) return fail(errno);
  try {
    for (unsigned i = 0; i < threads; ++i) r->workers_.emplace_back([p = r.get()] { p->run(); });
  } catch (const std::system_error& e) {
    return fail(e.code().value() ? e.code().value() : EAGAIN);  // destructor joins those started
  }
  return r;
}

Reactor::~Reactor() {
  if (shutdown_) {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(shutdown_.get(), &one, sizeof one);
  }
  for (auto& t : workers_) t.join();
}

void Reactor::run() {
  epoll_event events[16];
  for (;;) {
    const int n = ::epoll_wait(epoll_.get(), events, 16, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n > 0) published_.load(std::memory_order_acquire);  // pairs with the release in wait()
    for (int i = 0; i < n; ++i) {
      auto* waiter = static_cast<Waiter*>(events[i].data.ptr);
      if (waiter == nullptr) return;  // shutdown
      std::lock_guard lock(waiter->mutex);
      waiter->done = true;
      waiter->ready.notify_one();
    }
  }
}

int Reactor::wait(int fd, uint32_t events, bool& registered) {
  Waiter waiter;
  epoll_event ev{};
  ev.events = events | EPOLLONESHOT | EPOLLRDHUP;
  ev.data.ptr = &waiter;
  const int op = registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  // The kernel orders this registration before the worker that receives its event; the atomic
  // says so in the language's terms, so that the waiter's construction is visibly published.
  published_.fetch_add(1, std::memory_order_release);
  if (::epoll_ctl(epoll_.get(), op, fd, &ev) != 0) return errno;
  registered = true;
  std::unique_lock lock(waiter.mutex);
  waiter.ready.wait(lock, [&] { return waiter.done; });
  return 0;
}

}  // namespace ostrel::io
