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
  static Result<std::unique_ptr<FileSource>, OsFailure> open(IoRuntime& runtime,
                                                             const std::string& path);
  Result<size_t, qssf::QssfError> read(std::span<uint8_t> buf) override;

 private:
  FileSource(IoRuntime& runtime, UniqueFd fd)
      : runtime_(runtime), fd_(std::move(fd)), buffer_(new uint8_t[kBufferSize]) {}

  IoRuntime& runtime_;
  UniqueFd fd_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

}  // namespace ostrel::io
