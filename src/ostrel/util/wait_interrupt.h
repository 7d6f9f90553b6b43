#pragma once
// How a caller that blocks on I/O may give up early: while it waits, `check(context)` runs every
// `interval`; when it returns true the wait ends without a result. The check runs on the waiting
// thread with no lock of the I/O machinery held, so it may do anything that thread may do.
#include <chrono>

namespace ostrel {

struct WaitInterrupt {
  std::chrono::milliseconds interval{20};
  bool (*check)(void* context) = nullptr;
  void* context = nullptr;

  bool should_stop() const { return check != nullptr && check(context); }
};

}  // namespace ostrel
