#pragma once
// Logical error statistics over many shots: per observable, how often the decoder's predicted
// flip disagreed with the true one. Counters are atomic, so any number of threads may record and
// read at once without a lock and without losing counts.
#include <array>
#include <atomic>
#include <cstdint>

namespace ostrel::metrics {

class LogicalErrorAccumulator {
 public:
  // Observable k is bit k of a 64-bit flip mask, so at most 64 observables are tracked.
  static constexpr uint64_t kMaxObservables = 64;

  // Tracks min(observable_count, 64) observables, all counters at 0.
  explicit LogicalErrorAccumulator(uint64_t observable_count) noexcept;
  LogicalErrorAccumulator(const LogicalErrorAccumulator&) = delete;
  LogicalErrorAccumulator& operator=(const LogicalErrorAccumulator&) = delete;

  // Counts one shot, and an error for each tracked observable whose bit differs between the
  // predicted and the true mask.
  void record(uint64_t predicted_flips, uint64_t true_flips) noexcept;
  // Zeroes the shot counter, then each error counter in index order.
  void reset() noexcept;

  uint64_t observable_count() const noexcept { return observable_count_; }
  uint64_t total_shots() const noexcept { return shots_.load(); }
  // Errors of one observable; 0 for an observable that is not tracked.
  uint64_t error_count(uint64_t observable) const noexcept;
  // errors / shots of one observable; 0.0 with no shots or for an observable that is not tracked.
  double logical_error_rate(uint64_t observable) const noexcept;
  // The mean over tracked observables of their rates; 0.0 when none is tracked.
  double mean_logical_error_rate() const noexcept;

 private:
  uint64_t observable_count_;
  std::atomic<uint64_t> shots_{0};
  std::array<std::atomic<uint64_t>, kMaxObservables> errors_{};
};

}  // namespace ostrel::metrics
