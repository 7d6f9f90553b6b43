#include "ostrel/util/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "ostrel/util/os_error.h"
#include "ostrel/util/utf8.h"

namespace ostrel {
namespace {

FileReadError os_failure(int code) { return {FileReadError::Kind::Os, code}; }

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Appends the rest of the file to `out`; returns 0 or the errno of the failing call.
int read_all(int fd, std::string& out) {
  constexpr size_t kMinRead = 4096;
  constexpr size_t kGrowth = 64 * 1024;
  for (;;) {
    const size_t used = out.size();
    // Fill the reserved room first; grow only when the file turns out larger than its size said.
    size_t room = out.capacity() - used;
    if (room < kMinRead) room = kGrowth;
    out.resize(used + room);
    const ssize_t n = ::read(fd, out.data() + used, room);
    if (n < 0) {
      out.resize(used);
      if (errno == EINTR) continue;
      return errno;
    }
    out.resize(used + static_cast<size_t>(n));
    if (n == 0) return 0;
  }
}

}  // namespace

std::string FileReadError::message() const {
  switch (kind) {
    case Kind::InvalidUtf8:
      return "stream did not contain valid UTF-8";
    case Kind::NulInPath:
      return "file name contained an unexpected NUL byte";
    case Kind::Os:
      break;
  }
  return os_error_text(os_code);
}

Result<std::string, FileReadError> read_utf8_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return fail(FileReadError{FileReadError::Kind::NulInPath});
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(os_failure(errno));
  const FdCloser file(fd);

  std::string text;
  try {
    struct stat st {};
    if (::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
      text.reserve(static_cast<size_t>(st.st_size) + 1);
    if (const int rc = read_all(file.get(), text); rc != 0) return fail(os_failure(rc));
  } catch (const std::bad_alloc&) {
    return fail(os_failure(ENOMEM));
  } catch (const std::length_error&) {
    return fail(os_failure(ENOMEM));
  }
  if (!is_valid_utf8(text)) return fail(FileReadError{FileReadError::Kind::InvalidUtf8});
  return text;
}

}  // namespace ostrel
