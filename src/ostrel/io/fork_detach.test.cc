#include "ostrel/io/fork_detach.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "ostrel/util/unique_fd.h"

namespace ostrel::io {
namespace {

bool is_dev_null(int fd) {
  struct stat a{}, b{};
  return fstat(fd, &a) == 0 && stat("/dev/null", &b) == 0 && S_ISCHR(a.st_mode) && a.st_rdev == b.st_rdev;
}

// An open-file-description lock taken through a registered descriptor: in a forked child the
// descriptor is /dev/null and the generation has moved on, while the parent keeps both; the
// lock is the parent's alone, so it goes once the parent lets go even while the child lives.
TEST(ForkDetach, TheChildKeepsNeitherTheDescriptionNorItsLock) {
  char path[] = "/tmp/ostrel-fork-detach-XXXXXX";
  UniqueFd fd(mkstemp(path));
  ASSERT_TRUE(fd);
  unlink(path);
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_len = 1;
  ASSERT_EQ(fcntl(fd.get(), F_OFD_SETLK, &lock), 0);
  detach_at_fork(fd.get());
  const uint32_t generation = fork_generation();
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  if (child == 0) {
    const bool ok = is_dev_null(fd.get()) && fork_generation() == generation + 1;
    char c = ok ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    if (read(done[0], &c, 1) != 1) _exit(2);  // lives on until told
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(c, 'y');
  EXPECT_FALSE(is_dev_null(fd.get()));
  EXPECT_EQ(fork_generation(), generation);
  // A second description of the same file sees the lock while the parent holds it, and not
  // once the parent has closed it, though the child is alive.
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd.get());
  UniqueFd other(open(self, O_RDWR));
  ASSERT_TRUE(other);
  struct flock probe = lock;
  ASSERT_EQ(fcntl(other.get(), F_OFD_GETLK, &probe), 0);
  EXPECT_NE(probe.l_type, F_UNLCK);
  forget_at_fork(fd.get());
  fd.reset();
  probe = lock;
  ASSERT_EQ(fcntl(other.get(), F_OFD_GETLK, &probe), 0);
  EXPECT_EQ(probe.l_type, F_UNLCK);
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int p : {ready[0], ready[1], done[0], done[1]}) close(p);
}

}  // namespace
}  // namespace ostrel::io
