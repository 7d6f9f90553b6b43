#include "ostrel/io/reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace ostrel::io {

Result<std::unique_ptr<Reactor>, int> Reactor::start(unsigned threads) {
  std::unique_ptr<Reactor> r(new Reactor());
  r->epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!r->epoll_) return fail(errno);
  r->shutdown_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!r->shutdown_) return fail(errno);
  epoll_event ev{};
  ev.events = EPOLLIN;  // level-triggered: once written it wakes every worker
  ev.data.u64 = 0;
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
    for (int i = 0; i < n; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == 0) return;  // shutdown
      // An id nobody waits for any more belongs to a wait that was given up: nothing to wake.
      std::lock_guard lock(waiters_mutex_);
      for (Waiter* w : waiters_) {
        if (w->id != id) continue;
        w->done = true;
        w->ready.notify_one();
        break;
      }
    }
  }
}

void Reactor::remove(const Waiter* waiter) {
  auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
  if (it == waiters_.end()) return;
  *it = waiters_.back();
  waiters_.pop_back();
}

void Reactor::wake_all() {
  std::lock_guard lock(waiters_mutex_);
  for (Waiter* w : waiters_) {
    w->woken = true;
    w->ready.notify_one();
  }
}

int Reactor::wait(int fd, uint32_t events, bool& registered, const WaitInterrupt* interrupt) {
  Waiter waiter;
  std::unique_lock lock(waiters_mutex_);
  waiter.id = next_id_++;
  waiters_.push_back(&waiter);
  epoll_event ev{};
  ev.events = events | EPOLLONESHOT | EPOLLRDHUP;
  ev.data.u64 = waiter.id;
  const int op = registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (::epoll_ctl(epoll_.get(), op, fd, &ev) != 0) {
    const int err = errno;
    remove(&waiter);
    return err;
  }
  registered = true;
  int result = 0;
  if (interrupt == nullptr) {
    waiter.ready.wait(lock, [&] { return waiter.done; });
    remove(&waiter);
    return 0;
  }
  // The check may run arbitrary code (a signal handler) and release/reacquire may wait for a
  // lock another thread holds while it calls wake_all, so none of them runs under our lock. A
  // registration given up stays armed with an id nobody waits for; the next wait re-arms it.
  // Registered before the first check: a wake_all after it is seen, one before it need not be.
  lock.unlock();
  if (interrupt->should_stop()) {
    result = kInterrupted;
  } else {
    BlockingStretch blocked(interrupt);
    lock.lock();
    for (;;) {
      if (!waiter.done && !waiter.woken)
        waiter.ready.wait_for(lock, interrupt->interval, [&] { return waiter.done || waiter.woken; });
      if (waiter.done) break;
      waiter.woken = false;
      lock.unlock();
      const bool stop = interrupt->should_stop();
      lock.lock();
      if (stop) {  // even if the fd became ready meanwhile: the check has acted (or raised)
        result = kInterrupted;
        break;
      }
    }
    lock.unlock();
  }
  lock.lock();
  remove(&waiter);
  return result;
}

}  // namespace ostrel::io
