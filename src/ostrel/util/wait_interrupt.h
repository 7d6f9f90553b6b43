#pragma once
// How a caller that blocks on I/O may give up early, and what it does while it blocks. Before
// blocking, and then every `interval` while it waits, `check(context)` runs; when it returns true
// the wait ends without a result. `release(context)` runs just before the caller blocks and
// `reacquire(context)` once it stops blocking (a caller's interpreter lock, say), so a caller
// whose bytes are already there pays for neither. All run on the waiting thread with no lock of
// the I/O machinery held; the check runs between release and reacquire when the caller blocks.
#include <chrono>

namespace ostrel {

struct WaitInterrupt {
  std::chrono::milliseconds interval{20};
  bool (*check)(void* context) = nullptr;
  void* context = nullptr;
  void (*release)(void* context) = nullptr;
  void (*reacquire)(void* context) = nullptr;

  bool should_stop() const { return check != nullptr && check(context); }
};

// Runs an interrupt's release on construction and its reacquire on destruction (either may be
// absent, as may the interrupt).
class BlockingStretch {
 public:
  explicit BlockingStretch(const WaitInterrupt* interrupt) : interrupt_(interrupt) {
    if (interrupt_ && interrupt_->release) interrupt_->release(interrupt_->context);
  }
  ~BlockingStretch() {
    if (interrupt_ && interrupt_->reacquire) interrupt_->reacquire(interrupt_->context);
  }
  BlockingStretch(const BlockingStretch&) = delete;
  BlockingStretch& operator=(const BlockingStretch&) = delete;

 private:
  const WaitInterrupt* interrupt_;
};

}  // namespace ostrel
