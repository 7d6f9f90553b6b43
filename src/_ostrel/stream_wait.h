#pragma once
// How a stream's calls wait for bytes. A call blocks with the interpreter lock released (taken
// back before it touches any Python object), looks every few tens of milliseconds for pending
// signals (on the main thread), its deadline and a close() from elsewhere, and keeps the stream
// borrowed exclusively throughout. close() that meets such a call cancels it: the call ends with
// the closed-stream error and closes the stream on its way out.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "_ostrel/python.h"
#include "ostrel/io/io_runtime.h"
#include "ostrel/util/wait_interrupt.h"

namespace ostrel::py {

// The next() or read_batch call under way on one stream, as a close() elsewhere sees it.
struct StreamCall {
  std::mutex mutex;
  std::condition_variable ended;
  bool active = false;
  bool blocked = false;  // its thread is blocked waiting (a signal handler may run meanwhile)
  std::thread::id thread;
  io::IoRuntime* runtime = nullptr;  // valid while active: only the call itself closes it then
  std::atomic<bool> cancel{false};
};

// Marks a call active for its lifetime. If close() cancelled it, `close(context)` runs as it ends
// (under the call's mutex, so the closer never sees the runtime go while it wakes it).
class ActiveCall {
 public:
  ActiveCall(StreamCall& call, io::IoRuntime* runtime, void (*close)(void*), void* context);
  ~ActiveCall();
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;

 private:
  StreamCall& call_;
  void (*close_)(void*);
  void* context_;
};

// close() that found the stream borrowed: when the borrower is a call waiting for bytes (on any
// other thread, or this thread's own call running a signal handler while it waits), asks it to
// stop and returns true once it has ended (at once for this thread's own call, which ends when
// the handler returns). False: any other use, which keeps its RuntimeError.
bool cancel_waiting_call(StreamCall& call);

// The checks of one call's waits and what ended them.
class WaitCheck {
 public:
  // `timeout`: seconds the whole call may wait; `call`: the stream's call record (may be null).
  WaitCheck(std::optional<double> timeout, StreamCall* call);
  const WaitInterrupt& interrupt() const { return interrupt_; }

  bool signalled = false;  // a signal handler raised; its exception is set
  bool timed_out = false;
  bool cancelled = false;  // close() ended the wait

 private:
  static bool check(void* context);
  static void release(void* context);
  static void reacquire(void* context);
  bool handles_signals();

  std::optional<std::chrono::steady_clock::time_point> deadline_;
  StreamCall* call_;
  PyThreadState* saved_ = nullptr;  // set while the lock is released
  int main_thread_ = -1;            // unknown until the call first waits
  WaitInterrupt interrupt_;
};

}  // namespace ostrel::py
