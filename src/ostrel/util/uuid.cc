#include "ostrel/util/uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace ostrel {
namespace {

// Kernels without getrandom (ENOSYS) still offer /dev/urandom.
int read_urandom(uint8_t* out, size_t len) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int rc = 0;
  size_t got = 0;
  while (got < len) {
    const ssize_t n = ::read(fd, out + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      rc = n < 0 ? errno : EIO;
      break;
    }
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return rc;
}

int fill_random(uint8_t* out, size_t len) {
  size_t got = 0;
  while (got < len) {
    const ssize_t n = ::getrandom(out + got, len - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return read_urandom(out + got, len - got);
      return errno;
    }
    got += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

Uuid make_uuid_v4(Uuid bytes) {
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  return bytes;
}

Result<Uuid, OsError> random_uuid_v4() {
  Uuid bytes{};
  if (const int rc = fill_random(bytes.data(), bytes.size()); rc != 0) return fail(OsError{rc});
  return make_uuid_v4(bytes);
}

}  // namespace ostrel
