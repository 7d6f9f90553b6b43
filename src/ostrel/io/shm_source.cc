#include "ostrel/io/shm_source.h"

#include <algorithm>
#include <cerrno>

namespace ostrel::io {

Result<std::unique_ptr<ShmSource>, ShmFailure> ShmSource::open(std::string_view name) {
  auto ring = ShmRing::open(name);
  if (!ring.ok()) return fail(std::move(ring).error());
  return std::unique_ptr<ShmSource>(new ShmSource(std::move(ring).value()));
}

Result<size_t, qssf::QssfError> ShmSource::consume(std::span<uint8_t> buf, std::chrono::nanoseconds timeout) {
  const std::span<const uint8_t> prologue = ring_.prologue();
  if (prologue_read_ < prologue.size()) {
    const size_t n = std::min<size_t>(buf.size(), prologue.size() - prologue_read_);
    std::copy_n(prologue.data() + prologue_read_, n, buf.data());
    prologue_read_ += n;
    return n;
  }
  auto got = ring_.consume(buf, timeout);
  if (got.ok()) return *got;
  if (got.error().would_block()) return fail(qssf::QssfError::io(std::move(got).error().message, EAGAIN));
  return fail(qssf::QssfError::io(std::move(got).error().message));
}

Result<size_t, qssf::QssfError> ShmSource::read(std::span<uint8_t> buf) {
  if (!interrupt_) return consume(buf, std::chrono::nanoseconds(-1));
  // With an interrupt: bytes already there cost nothing more; otherwise the caller is told it
  // blocks, and the interrupt is consulted every interval while the ring stays empty.
  auto got = consume(buf, std::chrono::nanoseconds(0));
  if (got.ok() || got.error().os_errno != EAGAIN) return got;
  BlockingStretch blocking(interrupt_);
  for (;;) {
    if (interrupt_->should_stop()) return kInterrupted;
    got = consume(buf, std::chrono::nanoseconds(interrupt_->interval));
    if (got.ok() || got.error().os_errno != EAGAIN) return got;
  }
}

void ShmSource::release(uint64_t position) {
  const uint64_t prologue = ring_.prologue().size();
  if (position > prologue) ring_.release(ring_.start_position() + (position - prologue));
}

}  // namespace ostrel::io
