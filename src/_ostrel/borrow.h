#pragma once
// Per-object access control: a call takes shared access (reads) or exclusive access (changes) for
// its duration. A conflicting call fails at once with RuntimeError; nothing ever waits.
#include <atomic>

#include "_ostrel/python.h"

namespace ostrel::py {

class BorrowFlag {
 public:
  // >0: that many shared holders; -1: one exclusive holder; 0: free.
  std::atomic<int> state{0};
};

class [[nodiscard]] Borrow {
 public:
  // On conflict the returned guard is empty and RuntimeError is set.
  static Borrow shared(BorrowFlag& flag) noexcept;
  static Borrow exclusive(BorrowFlag& flag) noexcept;
  // The same for the decoder objects, whose conflict says what happened: "the Decoder is in use
  // by another thread" for `what` "Decoder".
  static Borrow exclusive_or_busy(BorrowFlag& flag, const char* what) noexcept;
  static Borrow shared_or_busy(BorrowFlag& flag, const char* what) noexcept;

  Borrow(Borrow&& other) noexcept : flag_(other.flag_), exclusive_(other.exclusive_) {
    other.flag_ = nullptr;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow();

  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  Borrow(BorrowFlag* flag, bool exclusive) noexcept : flag_(flag), exclusive_(exclusive) {}
  BorrowFlag* flag_;
  bool exclusive_;
};

}  // namespace ostrel::py
