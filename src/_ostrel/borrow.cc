#include "_ostrel/borrow.h"

namespace ostrel::py {

Borrow Borrow::shared(BorrowFlag& flag) noexcept {
  int current = flag.state.load(std::memory_order_relaxed);
  do {
    if (current < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return Borrow(nullptr, false);
    }
  } while (!flag.state.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
  return Borrow(&flag, false);
}

Borrow Borrow::exclusive(BorrowFlag& flag) noexcept {
  int expected = 0;
  if (!flag.state.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Borrow(nullptr, true);
  }
  return Borrow(&flag, true);
}

namespace {

Borrow busy_instead(Borrow taken, const char* what) noexcept {
  if (!taken) {
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "the %s is in use by another thread; give each thread its own", what);
  }
  return taken;
}

}  // namespace

Borrow Borrow::exclusive_or_busy(BorrowFlag& flag, const char* what) noexcept {
  return busy_instead(exclusive(flag), what);
}

Borrow Borrow::shared_or_busy(BorrowFlag& flag, const char* what) noexcept {
  return busy_instead(shared(flag), what);
}

Borrow::~Borrow() {
  if (!flag_) return;
  if (exclusive_) flag_->state.store(0, std::memory_order_release);
  else flag_->state.fetch_sub(1, std::memory_order_release);
}

}  // namespace ostrel::py
