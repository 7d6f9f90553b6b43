#include "ostrel/io/shm_source.h"

namespace ostrel::io {

Result<std::unique_ptr<ShmSource>, std::string> ShmSource::open(std::string_view name) {
  auto ring = ShmRing::open(name);
  if (!ring.ok()) return fail(std::move(ring).error().message);
  return std::unique_ptr<ShmSource>(new ShmSource(std::move(ring).value()));
}

Result<size_t, qssf::QssfError> ShmSource::read(std::span<uint8_t> buf) {
  if (!interrupt_) {
    auto got = ring_.consume(buf, std::chrono::nanoseconds(-1));
    if (got.ok()) return *got;
    return fail(qssf::QssfError::io(std::move(got).error().message));
  }
  // With an interrupt: bytes already there cost nothing more; otherwise the caller is told it
  // blocks, and the interrupt is consulted every interval while the ring stays empty.
  auto got = ring_.consume(buf, std::chrono::nanoseconds(0));
  if (got.ok()) return *got;
  if (!got.error().would_block) return fail(qssf::QssfError::io(std::move(got).error().message));
  BlockingStretch blocking(interrupt_);
  for (;;) {
    if (interrupt_->should_stop()) return kInterrupted;
    got = ring_.consume(buf, std::chrono::nanoseconds(interrupt_->interval));
    if (got.ok()) return *got;
    if (!got.error().would_block) return fail(qssf::QssfError::io(std::move(got).error().message));
  }
}

}  // namespace ostrel::io
