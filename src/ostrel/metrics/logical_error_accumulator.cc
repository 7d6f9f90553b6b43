#include "ostrel/metrics/logical_error_accumulator.h"

#include <algorithm>
#include <bit>

namespace ostrel::metrics {

// The shot is counted before its errors and read after them, so a reader beside a recording
// thread never sees more errors than shots.

LogicalErrorAccumulator::LogicalErrorAccumulator(uint64_t observable_count) noexcept
    : observable_count_(std::min(observable_count, kMaxObservables)) {}

void LogicalErrorAccumulator::record(uint64_t predicted_flips, uint64_t true_flips) noexcept {
  const uint64_t tracked = observable_count_ == 64 ? ~uint64_t{0} : (uint64_t{1} << observable_count_) - 1;
  shots_.fetch_add(1);
  for (uint64_t wrong = (predicted_flips ^ true_flips) & tracked; wrong != 0; wrong &= wrong - 1) {
    errors_[static_cast<size_t>(std::countr_zero(wrong))].fetch_add(1);
  }
}

void LogicalErrorAccumulator::reset() noexcept {
  shots_.store(0);
  for (uint64_t i = 0; i < observable_count_; ++i) errors_[i].store(0);
}

uint64_t LogicalErrorAccumulator::error_count(uint64_t observable) const noexcept {
  return observable < observable_count_ ? errors_[observable].load() : 0;
}

double LogicalErrorAccumulator::logical_error_rate(uint64_t observable) const noexcept {
  if (observable >= observable_count_) return 0.0;
  const uint64_t errors = errors_[observable].load();
  const uint64_t shots = shots_.load();
  if (shots == 0) return 0.0;
  return static_cast<double>(errors) / static_cast<double>(shots);
}

double LogicalErrorAccumulator::mean_logical_error_rate() const noexcept {
  if (observable_count_ == 0) return 0.0;
  std::array<uint64_t, kMaxObservables> errors{};
  for (uint64_t i = 0; i < observable_count_; ++i) errors[i] = errors_[i].load();
  const uint64_t shots = shots_.load();
  if (shots == 0) return 0.0;
  double sum = 0.0;
  for (uint64_t i = 0; i < observable_count_; ++i) sum += static_cast<double>(errors[i]) / static_cast<double>(shots);
  return sum / static_cast<double>(observable_count_);
}

}  // namespace ostrel::metrics
