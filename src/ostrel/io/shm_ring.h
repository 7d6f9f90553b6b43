#pragma once
// A single-producer single-consumer ring of QSSF bytes in POSIX shared memory.
//
// The segment is a header page followed by `capacity` data bytes (a power of two). The header
// holds a magic, a version and the capacity, then the producer's and the consumer's positions
// (bytes written and read since creation) on cache lines of their own. The producer publishes
// only whole frames: a frame's bytes are copied in first and the write position moves past them
// with one release store, so a consumer never sees part of a frame, even when the producer dies.
// The producer never overwrites unreleased bytes: a frame that does not fit waits for room, or fails.
//
// Reading is in two steps: the consumer copies bytes out (its own cursor, private) and releases
// them later (the shared read position), once whatever it made of them has been handed over. A
// consumer that closes or dies therefore leaves every byte it copied but did not release in the
// ring, and the next consumer to attach starts at the read position. A stream's opening bytes (a
// QSSF stream header) are the ring's prologue, kept in the header page for every consumer that
// attaches, so the rule for a restarted consumer is: it reads the prologue, then resumes at the
// first byte nobody released -- with a frame reader releasing only up to the end of each frame it
// hands over, the next frame nobody was handed, whole.
//
// Liveness: each side holds an open-file-description lock on a byte of its own for as long as it
// is attached, which the kernel drops when the process dies. A child forked by an attached
// process does not keep the lock (its copy of the descriptor is dropped at fork, see
// fork_detach.h), and its inherited side refuses to publish, consume or close the stream. A
// waiting consumer that finds the producer's byte free and the ring not closed reports the
// producer's death; a new producer may take over a segment whose producer is gone. A second
// producer or consumer is refused.
//
// Waiting: a spin that backs off (ever longer runs of pause instructions between looks), then a
// futex wait on a sequence word the other side bumps (and wakes) only when a waiter has said it
// sleeps, so a busy ring makes no system calls. Each side writes its position on a cache line of
// its own, and says it sleeps on another, so the flag the other side reads after every publish or
// release stays in its cache. The producer looks for a sleeping consumer after each publish
// behind a full fence: no wake is missed. The consumer looks for a sleeping producer after each
// release without one, and behind one before it waits itself: a wake it misses comes with its
// next release, or before it waits. A producer without a deadline that finds the ring full
// sleeps until a quarter of it is free (it says which read position it waits for), so that a
// consumer slower than it wakes it once per quarter, not once per frame.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ostrel/util/result.h"
#include "ostrel/util/unique_fd.h"

namespace ostrel::io {

inline constexpr uint64_t kShmRingMagic = 0x474E495254534FULL;  // "OSTRING" little-endian
inline constexpr uint32_t kShmRingVersion = 2;
inline constexpr uint64_t kShmRingHeaderBytes = 4096;
inline constexpr uint64_t kShmRingMinCapacity = 4096;
inline constexpr uint64_t kShmRingMaxCapacity = uint64_t(1) << 34;
inline constexpr uint32_t kShmRingMaxPrologue = 1024;

struct alignas(64) ShmRingHeader {
  // Line 0: fixed at creation (magic written last, with release).
  std::atomic<uint64_t> magic;
  uint32_t version;
  uint32_t header_bytes;
  uint64_t capacity;
  std::atomic<uint32_t> closed;  // the producer ended the stream cleanly
  uint32_t prologue_bytes;       // how many bytes of `prologue` every consumer reads first
  // Line 1: the producer's position (written at every publish).
  alignas(64) std::atomic<uint64_t> write_pos;
  // Line 2: the consumer's position (written at every release).
  alignas(64) std::atomic<uint64_t> read_pos;
  // Line 3: the consumer's sleep (written around it).
  alignas(64) std::atomic<uint32_t> consumer_waiting;  // the consumer sleeps for data
  std::atomic<uint32_t> data_seq;                      // bumped when it sleeps and data arrived
  // Line 4: the producer's sleep.
  alignas(64) std::atomic<uint32_t> producer_waiting;  // the producer sleeps for room
  std::atomic<uint32_t> space_seq;                     // bumped when it sleeps and room was made
  std::atomic<uint64_t> producer_wake_at;              // the read position it sleeps for
  // Line 5 on: fixed at creation.
  alignas(64) uint8_t prologue[kShmRingMaxPrologue];
};
static_assert(sizeof(ShmRingHeader) <= kShmRingHeaderBytes);
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free);

// "ring0", "/ring0" and "shm://ring0" name the same ring; its POSIX name is "/ring0". Fails with
// the message for a name that is not 1 to 200 letters, digits, '.', '_' or '-' (or "." / "..").
Result<std::string, std::string> shm_ring_posix_name(std::string_view name);

// A failure: its message and its kind. WouldBlock: the ring stayed full, or a wait timed out (the
// caller may retry). Argument: what the caller asked for cannot be (a bad name, a size). State:
// the ring is not in a state for it (a second producer or consumer; a side inherited by fork).
// Fault: the system refused, or the ring is not a sound ring.
struct ShmFailure {
  enum class Kind : uint8_t { Fault, WouldBlock, Argument, State };
  std::string message;
  Kind kind = Kind::Fault;
  bool would_block() const noexcept { return kind == Kind::WouldBlock; }
};

// One attached side of a ring: the mapping, the descriptor holding the side's lock.
class ShmRing {
 public:
  ShmRing(ShmRing&& other) noexcept;
  ShmRing& operator=(ShmRing&&) = delete;
  ShmRing(const ShmRing&) = delete;
  ShmRing& operator=(const ShmRing&) = delete;
  ~ShmRing();

  // The producer's side: a new ring of `capacity` bytes (rounded up to a power of two), or one
  // whose producer died, replaced. `prologue` (at most kShmRingMaxPrologue bytes) is what every
  // consumer reads before the ring's bytes.
  static Result<ShmRing, ShmFailure> create(std::string_view name, uint64_t capacity,
                                            std::span<const uint8_t> prologue = {});
  // The consumer's side of an existing ring; stale or foreign segments are refused.
  static Result<ShmRing, ShmFailure> open(std::string_view name);

  uint64_t capacity() const noexcept { return capacity_; }
  // How long a wait spins before it sleeps on the futex (default 50 us; 0 sleeps at once, which
  // suits cores shared with other work: a spinning side descheduled for a time slice waits longer).
  void set_spin(std::chrono::nanoseconds spin) noexcept { spin_ = spin; }
  const std::string& name() const noexcept { return name_; }

  // Producer: appends `bytes` whole, or nothing. A negative timeout waits for room for as long as
  // it takes; 0 fails at once when the ring is full. Bytes longer than the ring always fail.
  Result<Ok, ShmFailure> publish(std::span<const uint8_t> bytes, std::chrono::nanoseconds timeout);
  // Producer: the free bytes at the write position (up to where the ring wraps), where the caller
  // may write what it publishes next with commit(). Never waits; the consumer's position is read
  // again only when fewer than `wanted` bytes were free when it was last read. Empty when the
  // ring is full or its positions are unsound (which publish reports).
  std::span<uint8_t> writable(uint64_t wanted) noexcept;
  // Producer: publishes the first n bytes of writable(), which the caller wrote there, whole.
  void commit(uint64_t n) noexcept;
  // Producer: waits until every byte published has been released by a consumer (would_block when
  // `timeout`, negative: none, passes first).
  Result<Ok, ShmFailure> wait_until_read(std::chrono::nanoseconds timeout);
  // Producer: marks the end of the stream (the consumer reads what is left, then the end).
  void close_stream() noexcept;

  // Consumer: the bytes to read before the ring's own (see create).
  std::span<const uint8_t> prologue() const noexcept { return {header().prologue, header().prologue_bytes}; }
  // Consumer: copies up to out.size() bytes from its cursor on, without releasing them; waits
  // while there are none. 0 at the end of the stream. Fails when the producer died without closing
  // the stream (after the bytes it published are read), or with would_block when `timeout`
  // (negative: none) passes first.
  Result<size_t, ShmFailure> consume(std::span<uint8_t> out, std::chrono::nanoseconds timeout);
  // Consumer: the bytes from its cursor on that the producer has published, read in place (up to
  // where the ring wraps), without waiting or moving the cursor; empty when there are none (or
  // the positions are unsound, which consume reports). They stay until released.
  std::span<const uint8_t> readable() noexcept;
  // Consumer: moves its cursor past the first n bytes of readable(), as consume would.
  void skip(uint64_t n) noexcept { cursor_ += n; }
  // Consumer: the ring position of its first byte at attach (what an earlier consumer released).
  uint64_t start_position() const noexcept { return start_; }
  // Consumer: gives back to the producer every byte before ring position `position`, which lies
  // between what was released and the cursor (others are ignored).
  void release(uint64_t position) noexcept;

 private:
  ShmRing(std::string name, UniqueFd fd, void* map, uint64_t map_bytes, bool producer);
  ShmRingHeader& header() const noexcept { return *static_cast<ShmRingHeader*>(map_); }
  uint8_t* data() const noexcept { return static_cast<uint8_t*>(map_) + kShmRingHeaderBytes; }
  bool peer_alive() const noexcept;
  // A release wakes a sleeping producer only once it has the room the producer sleeps for; a
  // consumer about to wait itself, or leaving, wakes it whatever it waits for.
  void wake_producer_if_waiting(bool whatever_it_waits_for = true) noexcept;
  // Producer: waits until `n` bytes are free, checking the read position it is given.
  Result<Ok, ShmFailure> wait_for_room(uint64_t n, std::chrono::nanoseconds timeout);
  bool inherited() const noexcept;  // this object was copied into a forked child
  ShmFailure inherited_failure() const;

  std::string name_;
  UniqueFd fd_;
  void* map_ = nullptr;
  uint64_t map_bytes_ = 0;
  uint64_t capacity_ = 0;
  bool producer_ = false;
  uint64_t cached_peer_pos_ = 0;  // the other side's position as last read
  uint64_t start_ = 0;            // consumer: the read position at attach
  uint64_t cursor_ = 0;           // consumer: bytes copied out, released or not
  uint64_t released_ = 0;         // consumer: the read position as last stored
  uint64_t fenced_release_ = 0;   // consumer: the last release a fenced look for a sleeper followed
  uint32_t generation_ = 0;       // the fork generation of the process that attached
  std::chrono::nanoseconds spin_{std::chrono::microseconds(50)};
};

}  // namespace ostrel::io
