#pragma once
// Descriptors a forked child must not keep. A lock held through an open file description (an OFD
// lock) lasts while any descriptor refers to that description, and fork() gives the child one:
// a helper forked by a producer would keep the producer's ring alive after the producer died. In
// the child, every registered descriptor is replaced by /dev/null (its number stays valid, its
// reference to the description is gone) and the process's fork generation moves on, so that the
// objects the child inherited can tell they are copies.
#include <cstdint>

namespace ostrel::io {

// Registers `fd` until forget_at_fork(fd). Thread-safe.
void detach_at_fork(int fd);
void forget_at_fork(int fd) noexcept;

// How many forks this process descends from since it first registered a descriptor (0 in the
// process that did). Cheap: one relaxed load.
uint32_t fork_generation() noexcept;

}  // namespace ostrel::io
