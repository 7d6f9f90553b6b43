#include "ostrel/io/shm_ring.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>
#include <utility>

#include "ostrel/io/fork_detach.h"
#include "ostrel/util/os_error.h"
#include "ostrel/util/quoted.h"

namespace ostrel::io {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr std::string_view kScheme = "shm://";
constexpr size_t kMaxNameLength = 200;
constexpr off_t kProducerLockByte = 0;
constexpr off_t kConsumerLockByte = 1;
// The longest sleep between two looks at the peer's liveness.
constexpr nanoseconds kSleepSlice = std::chrono::milliseconds(20);

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Looks between waits grow from one pause to kMaxPauses: a side that arrives soon is seen soon,
// one that does not costs fewer looks (each may miss in the cache the other side writes).
constexpr unsigned kMaxPauses = 64;
struct Backoff {
  unsigned pauses = 1;
  void pause() noexcept {
    for (unsigned i = 0; i < pauses; ++i) cpu_relax();
    if (pauses < kMaxPauses) pauses <<= 1;
  }
};

uint32_t* futex_word(std::atomic<uint32_t>& a) noexcept { return reinterpret_cast<uint32_t*>(&a); }

void futex_wait(std::atomic<uint32_t>& word, uint32_t expected, nanoseconds limit) noexcept {
  timespec ts{static_cast<time_t>(limit.count() / 1000000000), static_cast<long>(limit.count() % 1000000000)};
  // Shared between processes: not FUTEX_PRIVATE. Spurious returns are fine; callers loop.
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT, expected, &ts, nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t>& word) noexcept {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Open-file-description locks belong to the descriptor, vanish with the process and do not
// conflict within one description, so each side can tell whether the other is attached.
bool try_lock_byte(int fd, off_t byte) noexcept {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool byte_locked(int fd, off_t byte) noexcept {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;  // cannot tell: assume alive
  return lock.l_type != F_UNLCK;
}

bool is_power_of_two(uint64_t v) noexcept { return v && !(v & (v - 1)); }

ShmFailure failure(std::string message, ShmFailure::Kind kind = ShmFailure::Kind::Fault) {
  return ShmFailure{std::move(message), kind};
}

}  // namespace

Result<std::string, std::string> shm_ring_posix_name(std::string_view name) {
  std::string_view bare = name;
  if (bare.starts_with(kScheme)) bare.remove_prefix(kScheme.size());
  if (bare.starts_with('/')) bare.remove_prefix(1);
  bool ok = !bare.empty() && bare.size() <= kMaxNameLength && bare != "." && bare != "..";
  for (char c : bare)
    ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                c == '_' || c == '-');
  if (!ok)
    return fail("invalid ring name " + quoted(name) +
                ": expected 1 to 200 letters, digits, '.', '_' or '-' (optionally after shm:// or /)");
  std::string posix(1, '/');
  posix.append(bare);
  return posix;
}

ShmRing::ShmRing(std::string name, UniqueFd fd, void* map, uint64_t map_bytes, bool producer)
    : name_(std::move(name)), fd_(std::move(fd)), map_(map), map_bytes_(map_bytes), producer_(producer) {
  capacity_ = header().capacity;
  detach_at_fork(fd_.get());
  generation_ = fork_generation();
  cached_peer_pos_ = producer ? header().read_pos.load(std::memory_order_acquire)
                              : header().write_pos.load(std::memory_order_acquire);
  if (!producer) start_ = cursor_ = released_ = fenced_release_ = header().read_pos.load(std::memory_order_relaxed);
}

ShmRing::ShmRing(ShmRing&& other) noexcept
    : name_(std::move(other.name_)),
      fd_(std::move(other.fd_)),
      map_(std::exchange(other.map_, nullptr)),
      map_bytes_(other.map_bytes_),
      capacity_(other.capacity_),
      producer_(other.producer_),
      cached_peer_pos_(other.cached_peer_pos_),
      start_(other.start_),
      cursor_(other.cursor_),
      released_(other.released_),
      fenced_release_(other.fenced_release_),
      generation_(other.generation_),
      spin_(other.spin_) {}

ShmRing::~ShmRing() {
  if (map_ && !producer_ && fenced_release_ != released_ && !inherited()) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    wake_producer_if_waiting();
  }
  if (fd_) forget_at_fork(fd_.get());
  if (map_) munmap(map_, map_bytes_);
}

bool ShmRing::inherited() const noexcept { return generation_ != fork_generation(); }

ShmFailure ShmRing::inherited_failure() const {
  return failure("this side of ring " + quoted(name_) +
                 " was attached by the parent of this forked process, which must attach its own",
                 ShmFailure::Kind::State);
}

Result<ShmRing, ShmFailure> ShmRing::create(std::string_view name, uint64_t capacity,
                                            std::span<const uint8_t> prologue) {
  auto posix = shm_ring_posix_name(name);
  if (!posix.ok()) return fail(failure(std::move(posix).error(), ShmFailure::Kind::Argument));
  if (prologue.size() > kShmRingMaxPrologue)
    return fail(failure("a ring's prologue must be at most " + std::to_string(kShmRingMaxPrologue) + " bytes, got " +
                            std::to_string(prologue.size()),
                        ShmFailure::Kind::Argument));
  if (capacity > kShmRingMaxCapacity)
    return fail(failure("ring capacity must be at most " + std::to_string(kShmRingMaxCapacity) + " bytes (16 GiB), got " +
                            std::to_string(capacity),
                        ShmFailure::Kind::Argument));
  uint64_t cap = kShmRingMinCapacity;
  while (cap < capacity) cap <<= 1;
  const std::string& path = *posix;

  UniqueFd fd(shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  if (!fd && errno == EEXIST) {
    // Replace the segment only when it is a ring whose producer is gone.
    UniqueFd old(shm_open(path.c_str(), O_RDWR, 0));
    if (!old) return fail(failure("cannot create ring " + quoted(path) + ": " + os_error_text(errno)));
    struct stat st{};
    bool ring = fstat(old.get(), &st) == 0 && uint64_t(st.st_size) >= kShmRingHeaderBytes;
    if (ring) {
      void* head = mmap(nullptr, kShmRingHeaderBytes, PROT_READ, MAP_SHARED, old.get(), 0);
      if (head == MAP_FAILED) return fail(failure("cannot create ring " + quoted(path) + ": " + os_error_text(errno)));
      ring = static_cast<ShmRingHeader*>(head)->magic.load(std::memory_order_acquire) == kShmRingMagic;
      munmap(head, kShmRingHeaderBytes);
    }
    if (!ring) return fail(failure("cannot create ring " + quoted(path) + ": a segment of that name exists and is not a ring"));
    // Looked at, not taken: a consumer opening the old segment meanwhile must not see it alive.
    if (byte_locked(old.get(), kProducerLockByte))
      return fail(failure("cannot create ring " + quoted(path) + ": it already has a producer", ShmFailure::Kind::State));
    shm_unlink(path.c_str());
    fd.reset(shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  }
  if (!fd) return fail(failure("cannot create ring " + quoted(path) + ": " + os_error_text(errno)));
  const uint64_t bytes = kShmRingHeaderBytes + cap;
  auto undo = [&](int err) {
    shm_unlink(path.c_str());
    return fail(failure("cannot create ring " + quoted(path) + ": " + os_error_text(err)));
  };
  if (!try_lock_byte(fd.get(), kProducerLockByte)) return undo(errno);
  if (ftruncate(fd.get(), off_t(bytes)) != 0) return undo(errno);
  void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) return undo(errno);
  // The new pages are zero; the atomics need no construction beyond that on this platform, but
  // placement-new keeps the object model honest.
  auto* h = new (map) ShmRingHeader{};
  h->version = kShmRingVersion;
  h->header_bytes = uint32_t(kShmRingHeaderBytes);
  h->capacity = cap;
  h->prologue_bytes = uint32_t(prologue.size());
  if (!prologue.empty()) std::memcpy(h->prologue, prologue.data(), prologue.size());
  h->magic.store(kShmRingMagic, std::memory_order_release);
  return ShmRing(path, std::move(fd), map, bytes, true);
}

Result<ShmRing, ShmFailure> ShmRing::open(std::string_view name) {
  auto posix = shm_ring_posix_name(name);
  if (!posix.ok()) return fail(failure(std::move(posix).error(), ShmFailure::Kind::Argument));
  const std::string& path = *posix;
  UniqueFd fd(shm_open(path.c_str(), O_RDWR, 0));
  if (!fd) return fail(failure("cannot open ring " + quoted(path) + ": " + os_error_text(errno)));
  struct stat st{};
  if (fstat(fd.get(), &st) != 0) return fail(failure("cannot open ring " + quoted(path) + ": " + os_error_text(errno)));
  const uint64_t size = uint64_t(st.st_size);
  if (size < kShmRingHeaderBytes + kShmRingMinCapacity)
    return fail(failure("cannot open ring " + quoted(path) + ": the segment is not a ring (" + std::to_string(size) +
                        " bytes)"));
  void* head = mmap(nullptr, kShmRingHeaderBytes, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (head == MAP_FAILED) return fail(failure("cannot open ring " + quoted(path) + ": " + os_error_text(errno)));
  const auto* h = static_cast<const ShmRingHeader*>(head);
  const uint64_t magic = h->magic.load(std::memory_order_acquire);
  const uint32_t version = h->version;
  const uint64_t header_bytes = h->header_bytes;
  const uint64_t capacity = h->capacity;
  const uint32_t prologue_bytes = h->prologue_bytes;
  munmap(head, kShmRingHeaderBytes);
  if (magic != kShmRingMagic)
    return fail(failure("cannot open ring " + quoted(path) + ": the segment is not a ring (wrong magic)"));
  if (version != kShmRingVersion)
    return fail(failure("cannot open ring " + quoted(path) + ": unsupported ring version " + std::to_string(version) +
                        " (this library reads version " + std::to_string(kShmRingVersion) + ")"));
  if (header_bytes != kShmRingHeaderBytes || !is_power_of_two(capacity) || capacity < kShmRingMinCapacity ||
      capacity > kShmRingMaxCapacity || size != header_bytes + capacity || prologue_bytes > kShmRingMaxPrologue)
    return fail(failure("cannot open ring " + quoted(path) + ": its size (" + std::to_string(size) +
                        " bytes) does not match its header (capacity " + std::to_string(capacity) + ")"));
  if (!try_lock_byte(fd.get(), kConsumerLockByte))
    return fail(failure("cannot open ring " + quoted(path) + ": it already has a consumer", ShmFailure::Kind::State));
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) return fail(failure("cannot open ring " + quoted(path) + ": " + os_error_text(errno)));
  ShmRing ring(path, std::move(fd), map, size, false);
  // Positions a consumer before us left, checked before any byte is trusted.
  const uint64_t w = ring.header().write_pos.load(std::memory_order_acquire);
  if (ring.start_ > w || w - ring.start_ > capacity)
    return fail(failure("cannot open ring " + quoted(path) + ": it is corrupt: its read position (" +
                        std::to_string(ring.start_) + ") is not within " + std::to_string(capacity) +
                        " bytes before its write position (" + std::to_string(w) + ")"));
  if (!ring.header().closed.load(std::memory_order_acquire) && !ring.peer_alive())
    return fail(failure("cannot open ring " + quoted(path) + ": it is stale (its producer ended without closing it)"));
  return ring;
}

bool ShmRing::peer_alive() const noexcept {
  return byte_locked(fd_.get(), producer_ ? kConsumerLockByte : kProducerLockByte);
}

Result<Ok, ShmFailure> ShmRing::wait_for_room(uint64_t n, nanoseconds timeout) {
  ShmRingHeader& h = header();
  const uint64_t w = h.write_pos.load(std::memory_order_relaxed);
  // Without a deadline, a producer that found the ring full waits for a quarter of it: a consumer
  // that cannot keep up then wakes it once per quarter rather than once per frame, and it does
  // not spin beside the consumer for every frame the consumer frees.
  // Once woken, room for n is enough: a consumer about to wait for data wakes it whatever it
  // waits for, and must then get the frame it waits for (a sleep that merely ran out is no wake).
  uint64_t wanted = timeout.count() < 0 ? n + std::min(capacity_ / 4, capacity_ - n) : n;
  auto room = [&] { return capacity_ - (w - cached_peer_pos_) >= wanted; };
  // The read position is the consumer's to write: trusted only once checked.
  auto refresh = [&]() -> bool {
    cached_peer_pos_ = h.read_pos.load(std::memory_order_acquire);
    return cached_peer_pos_ <= w && w - cached_peer_pos_ <= capacity_;
  };
  auto corrupt = [&] {
    return fail(failure("ring " + quoted(name_) + " is corrupt: its read position (" + std::to_string(cached_peer_pos_) +
                        ") is not within " + std::to_string(capacity_) + " bytes before its write position (" +
                        std::to_string(w) + ")"));
  };
  if (!refresh()) return corrupt();
  const auto start = Clock::now();
  const bool forever = timeout.count() < 0;
  Backoff backoff;
  while (!room()) {
    const nanoseconds waited = Clock::now() - start;
    if (!forever && waited >= timeout)
      return fail(ShmFailure{"ring " + quoted(name_) + " is full: the consumer has not made room for " +
                                 std::to_string(n) + " bytes",
                             ShmFailure::Kind::WouldBlock});
    if (waited < spin_) {
      backoff.pause();
    } else {
      const uint32_t seq = h.space_seq.load(std::memory_order_acquire);
      h.producer_wake_at.store(w + wanted - capacity_, std::memory_order_relaxed);
      h.producer_waiting.store(1, std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (!refresh()) return corrupt();
      if (!room()) futex_wait(h.space_seq, seq, forever ? kSleepSlice : std::min(kSleepSlice, timeout - waited));
      h.producer_waiting.store(0, std::memory_order_relaxed);
      if (h.space_seq.load(std::memory_order_acquire) != seq) wanted = n;  // woken, not timed out
    }
    if (!refresh()) return corrupt();
  }
  return Ok{};
}

Result<Ok, ShmFailure> ShmRing::wait_until_read(nanoseconds timeout) {
  if (inherited()) return fail(inherited_failure());
  return wait_for_room(capacity_, timeout);
}

Result<Ok, ShmFailure> ShmRing::publish(std::span<const uint8_t> bytes, nanoseconds timeout) {
  if (inherited()) return fail(inherited_failure());
  ShmRingHeader& h = header();
  const uint64_t n = bytes.size();
  if (n > capacity_)
    return fail(failure("a frame of " + std::to_string(n) + " bytes does not fit ring " + quoted(name_) + " of " +
                            std::to_string(capacity_) + " bytes",
                        ShmFailure::Kind::Argument));
  const uint64_t w = h.write_pos.load(std::memory_order_relaxed);
  if (capacity_ - (w - cached_peer_pos_) < n) {
    auto waited = wait_for_room(n, timeout);
    if (!waited.ok()) return waited;
  }
  const uint64_t at = w & (capacity_ - 1);
  const uint64_t first = std::min(n, capacity_ - at);
  std::memcpy(data() + at, bytes.data(), first);
  std::memcpy(data(), bytes.data() + first, n - first);
  commit(n);
  return Ok{};
}

std::span<uint8_t> ShmRing::writable(uint64_t wanted) noexcept {
  if (inherited()) return {};
  const uint64_t w = header().write_pos.load(std::memory_order_relaxed);
  const uint64_t at = w & (capacity_ - 1);
  // The read position is the consumer's to write: trusted only once checked, and read again
  // only when what was last seen leaves too little room (its line stays in this core's cache).
  auto free = [&] { return std::min(capacity_ - (w - cached_peer_pos_), capacity_ - at); };
  if (cached_peer_pos_ > w || w - cached_peer_pos_ > capacity_ || free() < wanted) {
    const uint64_t r = header().read_pos.load(std::memory_order_acquire);
    if (r > w || w - r > capacity_) return {};  // kept out of the cache: publish reports it
    cached_peer_pos_ = r;
  }
  return {data() + at, free()};
}

void ShmRing::commit(uint64_t n) noexcept {
  ShmRingHeader& h = header();
  h.write_pos.store(h.write_pos.load(std::memory_order_relaxed) + n, std::memory_order_release);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // The waker clears the flag: one wake per sleep, not one per publish until the sleeper runs.
  if (h.consumer_waiting.load(std::memory_order_relaxed) && h.consumer_waiting.exchange(0, std::memory_order_relaxed)) {
    h.data_seq.fetch_add(1, std::memory_order_release);
    futex_wake_all(h.data_seq);
  }
}

void ShmRing::close_stream() noexcept {
  if (inherited()) return;  // the parent's stream is not the child's to end
  ShmRingHeader& h = header();
  h.closed.store(1, std::memory_order_release);
  h.data_seq.fetch_add(1, std::memory_order_release);
  futex_wake_all(h.data_seq);
}

Result<size_t, ShmFailure> ShmRing::consume(std::span<uint8_t> out, nanoseconds timeout) {
  if (inherited()) return fail(inherited_failure());
  ShmRingHeader& h = header();
  const uint64_t r = cursor_;
  if (cached_peer_pos_ == r) {
    cached_peer_pos_ = h.write_pos.load(std::memory_order_acquire);
    // About to wait: a producer asleep for room that a release without a fence missed is woken.
    if (cached_peer_pos_ == r && fenced_release_ != released_) {
      fenced_release_ = released_;
      std::atomic_thread_fence(std::memory_order_seq_cst);
      wake_producer_if_waiting();
    }
    const auto start = Clock::now();
    const bool forever = timeout.count() < 0;
    Backoff backoff;
    while (cached_peer_pos_ == r) {
      // `closed` is set after the last publish: seen closed and still empty, the stream ended.
      if (h.closed.load(std::memory_order_acquire)) {
        cached_peer_pos_ = h.write_pos.load(std::memory_order_acquire);
        if (cached_peer_pos_ == r) return size_t(0);
        break;
      }
      const nanoseconds waited = Clock::now() - start;
      if (!forever && waited >= timeout)
        return fail(ShmFailure{"no bytes arrived in ring " + quoted(name_) + " in time", ShmFailure::Kind::WouldBlock});
      if (waited < spin_) {
        backoff.pause();
      } else {
        const uint32_t seq = h.data_seq.load(std::memory_order_acquire);
        h.consumer_waiting.store(1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        cached_peer_pos_ = h.write_pos.load(std::memory_order_acquire);
        if (cached_peer_pos_ == r && !h.closed.load(std::memory_order_acquire))
          futex_wait(h.data_seq, seq, forever ? kSleepSlice : std::min(kSleepSlice, timeout - waited));
        h.consumer_waiting.store(0, std::memory_order_relaxed);
        if (!peer_alive()) {
          // The producer's last publish, if any, happened before its lock was dropped.
          cached_peer_pos_ = h.write_pos.load(std::memory_order_acquire);
          if (cached_peer_pos_ == r && !h.closed.load(std::memory_order_acquire))
            return fail(failure("the producer of ring " + quoted(name_) + " ended without closing the stream"));
        }
      }
      cached_peer_pos_ = h.write_pos.load(std::memory_order_acquire);
    }
  }
  if (cached_peer_pos_ < r || cached_peer_pos_ - released_ > capacity_)
    return fail(failure("ring " + quoted(name_) + " is corrupt: its write position (" +
                        std::to_string(cached_peer_pos_) + ") is not within " + std::to_string(capacity_) +
                        " bytes after its read position (" + std::to_string(released_) + ")"));
  const uint64_t n = std::min<uint64_t>(cached_peer_pos_ - r, out.size());
  const uint64_t at = r & (capacity_ - 1);
  const uint64_t first = std::min(n, capacity_ - at);
  std::memcpy(out.data(), data() + at, first);
  std::memcpy(out.data() + first, data(), n - first);
  cursor_ = r + n;
  return size_t(n);
}

std::span<const uint8_t> ShmRing::readable() noexcept {
  if (inherited()) return {};
  const uint64_t r = cursor_;
  if (cached_peer_pos_ == r) cached_peer_pos_ = header().write_pos.load(std::memory_order_acquire);
  if (cached_peer_pos_ <= r || cached_peer_pos_ - released_ > capacity_) return {};
  const uint64_t at = r & (capacity_ - 1);
  return {data() + at, std::min(cached_peer_pos_ - r, capacity_ - at)};
}

void ShmRing::release(uint64_t position) noexcept {
  if (position <= released_ || position > cursor_ || inherited()) return;
  released_ = position;
  header().read_pos.store(position, std::memory_order_release);
  wake_producer_if_waiting(false);  // without a fence: see the header on missed wakes
}

void ShmRing::wake_producer_if_waiting(bool whatever_it_waits_for) noexcept {
  ShmRingHeader& h = header();
  if (h.producer_waiting.load(std::memory_order_relaxed) &&
      (whatever_it_waits_for || released_ >= h.producer_wake_at.load(std::memory_order_relaxed)) &&
      h.producer_waiting.exchange(0, std::memory_order_relaxed)) {
    h.space_seq.fetch_add(1, std::memory_order_release);
    futex_wake_all(h.space_seq);
  }
}

}  // namespace ostrel::io
