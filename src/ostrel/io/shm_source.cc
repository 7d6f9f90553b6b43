#include "ostrel/io/shm_source.h"

namespace ostrel::io {

Result<std::unique_ptr<ShmSource>, std::string> ShmSource::open(std::string_view name) {
  auto ring = ShmRing::open(name);
  if (!ring.ok()) return fail(std::move(ring).error().message);
  return std::unique_ptr<ShmSource>(new ShmSource(std::move(ring).value()));
}

Result<size_t, qssf::QssfError> ShmSource::read(std::span<uint8_t> buf) {
  // Without an interrupt the ring waits as long as it takes; with one, in slices of its interval.
  const std::chrono::nanoseconds slice =
      interrupt_ ? std::chrono::nanoseconds(interrupt_->interval) : std::chrono::nanoseconds(-1);
  for (;;) {
    auto got = ring_.consume(buf, slice);
    if (got.ok()) return *got;
    if (!got.error().would_block) return fail(qssf::QssfError::io(std::move(got).error().message));
    if (interrupt_ && interrupt_->should_stop()) return kInterrupted;
  }
}

}  // namespace ostrel::io
