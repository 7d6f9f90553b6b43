#pragma once
// The consumer's side of a shared-memory ring as a byte source for the frame reader.
#include <memory>
#include <string_view>

#include "ostrel/io/shm_ring.h"
#include "ostrel/qssf/byte_source.h"

namespace ostrel::io {

class ShmSource final : public qssf::ByteSource {
 public:
  // Fails with the ring's message (see ShmRing::open).
  static Result<std::unique_ptr<ShmSource>, std::string> open(std::string_view name);

  Result<size_t, qssf::QssfError> read(std::span<uint8_t> buf) override;
  void set_interrupt(const WaitInterrupt* interrupt) override { interrupt_ = interrupt; }
  void set_spin(std::chrono::nanoseconds spin) noexcept { ring_.set_spin(spin); }

 private:
  explicit ShmSource(ShmRing ring) : ring_(std::move(ring)) {}

  ShmRing ring_;
  const WaitInterrupt* interrupt_ = nullptr;
};

}  // namespace ostrel::io
