#pragma once
// A file read from its first byte onwards through a 64 KiB buffer. The open and every refill run
// on the runtime's blocking pool while the caller waits.
#include <memory>
#include <string>

#include "ostrel/io/io_runtime.h"
#include "ostrel/qssf/byte_source.h"
#include "ostrel/util/os_error.h"
#include "ostrel/util/unique_fd.h"

namespace ostrel::io {

class FileSource final : public qssf::ByteSource {
 public:
  // Every refill is a hand-off to a pool thread and back (tens of microseconds), so the buffer is
  // large enough for that to cost little next to parsing the frames it holds.
  static constexpr size_t kBufferSize = 1 << 20;

  // The error is the description of what failed (e.g. "No such file or directory (os error 2)").
  // `interrupt` (optional) brackets the wait for the open with its release and reacquire.
  static Result<std::unique_ptr<FileSource>, OsFailure> open(IoRuntime& runtime,
                                                             const std::string& path,
                                                             const WaitInterrupt* interrupt = nullptr);
  // A refill waits for the pool without checks (file reads do not wait for long), bracketed by
  // the interrupt's release and reacquire.
  Result<size_t, qssf::QssfError> read(std::span<uint8_t> buf) override;
  void set_interrupt(const WaitInterrupt* interrupt) override { interrupt_ = interrupt; }
  // A file may be written while it is read: its end is where the writer has got to.
  bool can_grow() const override { return true; }

 private:
  FileSource(IoRuntime& runtime, UniqueFd fd)
      : runtime_(runtime), fd_(std::move(fd)), buffer_(new uint8_t[kBufferSize]) {}

  IoRuntime& runtime_;
  UniqueFd fd_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t pos_ = 0;
  size_t len_ = 0;
  const WaitInterrupt* interrupt_ = nullptr;
};

}  // namespace ostrel::io
