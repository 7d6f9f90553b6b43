#include "ostrel/io/file_source.h"
#include "ostrel/util/os_error.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ostrel::io {
namespace {

constexpr const char* kBackgroundTaskFailed = "background task failed";

struct SysResult {
  ssize_t value;
  int error;
};

}  // namespace

Result<std::unique_ptr<FileSource>, OsFailure> FileSource::open(IoRuntime& runtime,
                                                                const std::string& path,
                                                                const WaitInterrupt* interrupt) {
  // A C path ends at its first NUL; opening a shorter name than was asked for would be wrong.
  if (path.find('\0') != std::string::npos)
    return fail(OsFailure{"file name contained an unexpected NUL byte"});
  auto opened = runtime.run_blocking([&] {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return SysResult{fd, fd < 0 ? errno : 0};
  }, interrupt);
  if (!opened) return fail(OsFailure{kBackgroundTaskFailed});
  if (opened->value < 0) return fail(OsFailure{os_error_text(opened->error), opened->error});
  return std::unique_ptr<FileSource>(new FileSource(runtime, UniqueFd(int(opened->value))));
}

Result<size_t, qssf::QssfError> FileSource::read(std::span<uint8_t> buf) {
  if (pos_ == len_) {
    auto got = runtime_.run_blocking([this] {
      ssize_t n;
      do n = ::read(fd_.get(), buffer_.get(), kBufferSize);
      while (n < 0 && errno == EINTR);
      return SysResult{n, n < 0 ? errno : 0};
    }, interrupt_);
    if (!got) return fail(qssf::QssfError::io(kBackgroundTaskFailed));
    if (got->value < 0) return fail(qssf::QssfError::io(os_error_text(got->error), got->error));
    pos_ = 0;
    len_ = size_t(got->value);
    if (len_ == 0) return size_t{0};
  }
  const size_t n = std::min(buf.size(), len_ - pos_);
  std::memcpy(buf.data(), buffer_.get() + pos_, n);
  pos_ += n;
  return n;
}

}  // namespace ostrel::io
