#include "_ostrel/stream_wait.h"

#include <algorithm>


namespace ostrel::py {
namespace {

constexpr std::chrono::milliseconds kPollInterval{20};

// Signal handlers run on the main interpreter's main thread only; elsewhere the checks need no
// lock. Asked of the runtime rather than of `threading`: Python code run here could run a pending
// handler, and the exception it raised would be lost.
bool on_main_thread() { return _PyOS_IsMainThread() != 0; }

}  // namespace

ActiveCall::ActiveCall(StreamCall& call, io::IoRuntime* runtime, void (*close)(void*), void* context)
    : call_(call), close_(close), context_(context) {
  std::lock_guard lock(call_.mutex);
  call_.active = true;
  call_.blocked = false;
  call_.thread = std::this_thread::get_id();
  call_.runtime = runtime;
  call_.cancel = false;
}

ActiveCall::~ActiveCall() {
  std::lock_guard lock(call_.mutex);
  if (call_.cancel) close_(context_);
  call_.active = false;
  call_.runtime = nullptr;
  call_.ended.notify_all();
}

bool cancel_waiting_call(StreamCall& call) {
  std::unique_lock lock(call.mutex);
  if (!call.active) return false;
  const bool own = call.thread == std::this_thread::get_id();
  if (own && !call.blocked) return false;  // re-entrant use within one call
  call.cancel = true;
  call.runtime->wake_waiters();
  if (own) return true;
  // The call needs the interpreter lock to end.
  PyThreadState* saved = PyEval_SaveThread();
  call.ended.wait(lock, [&] { return !call.active; });
  lock.unlock();
  PyEval_RestoreThread(saved);
  return true;
}

WaitCheck::WaitCheck(std::optional<double> timeout, StreamCall* call)
    : call_(call), interrupt_{kPollInterval, &WaitCheck::check, this, &WaitCheck::release, &WaitCheck::reacquire} {
  if (timeout) {
    const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(*timeout));
    deadline_ = std::chrono::steady_clock::now() + limit;
    // A short limit is looked at as often as it needs, down to a millisecond.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit);
    interrupt_.interval = std::clamp(ms, std::chrono::milliseconds(1), kPollInterval);
  }
}

bool WaitCheck::handles_signals() {
  if (main_thread_ < 0) main_thread_ = on_main_thread() ? 1 : 0;
  return main_thread_ == 1;
}

bool WaitCheck::check(void* context) {
  auto* self = static_cast<WaitCheck*>(context);
  // Before blocking the lock is held; while blocked, release() has looked up the thread already.
  if (self->handles_signals()) {
    if (self->saved_) PyEval_RestoreThread(self->saved_);
    const int raised = PyErr_CheckSignals();
    if (self->saved_) self->saved_ = PyEval_SaveThread();
    if (raised != 0) {
      self->signalled = true;
      return true;
    }
  }
  if (self->call_ && self->call_->cancel.load()) {
    self->cancelled = true;
    return true;
  }
  if (self->deadline_ && std::chrono::steady_clock::now() >= *self->deadline_) {
    self->timed_out = true;
    return true;
  }
  return false;
}

void WaitCheck::release(void* context) {
  auto* self = static_cast<WaitCheck*>(context);
  self->handles_signals();
  if (self->call_) {
    std::lock_guard lock(self->call_->mutex);
    self->call_->blocked = true;
  }
  self->saved_ = PyEval_SaveThread();
}

void WaitCheck::reacquire(void* context) {
  auto* self = static_cast<WaitCheck*>(context);
  PyEval_RestoreThread(self->saved_);
  self->saved_ = nullptr;
  if (self->call_) {
    std::lock_guard lock(self->call_->mutex);
    self->call_->blocked = false;
  }
}

}  // namespace ostrel::py
