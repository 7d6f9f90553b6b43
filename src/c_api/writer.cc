// Writers: QSSF frames encoded by the core into a file, a socket or pipe, or a ring.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "c_api/boundary.h"
#include "c_api/shm_status.h"
#include "ostrel/io/shm_ring.h"
#include "ostrel/qssf/frame_encoder.h"
#include "ostrel/util/os_error.h"
#include "ostrel/util/quoted.h"
#include "ostrel/util/unique_fd.h"

using namespace ostrel;

namespace {
// What a descriptor is, found once: sockets and pipes (or anything else not a regular file) may
// lose their reader, which must come back as an error rather than SIGPIPE.
enum class Kind { File, Socket, Pipe };
}  // namespace

struct ostrel_writer {
  UniqueFd fd;
  Kind kind = Kind::File;
  std::optional<io::ShmRing> ring;
  std::chrono::nanoseconds full_timeout{-1};
  bool buffered = false;  // files gather bytes; sockets and rings get each frame at once
  std::vector<uint8_t> bytes;
  std::string target;  // what the writer writes to, as messages name it
  std::optional<uint64_t> last_frame_id;
  std::vector<size_t> ends;  // a burst's frame ends in `bytes`, kept for its capacity
};

namespace {

constexpr size_t kFileBuffer = 1 << 16;

qssf::SchemaId schema_of(const uint8_t* id) {
  qssf::SchemaId schema{};
  if (id) std::memcpy(schema.data(), id, schema.size());
  return schema;
}

// write(2) on a pipe whose reader has gone raises SIGPIPE, which kills a caller that did not
// ignore it. Blocked on this thread for the call, the signal stays pending instead; one the write
// raised (none was pending before) is taken back before the mask is restored.
ssize_t write_without_sigpipe(int fd, const uint8_t* data, size_t n) {
  sigset_t pipe_only, old;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t k = ::write(fd, data, n);
  const int err = errno;
  if (k < 0 && err == EPIPE && !was_pending) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return k;
}

// Writes every byte; never raises SIGPIPE, so a closed peer is an error, not a signal.
ostrel_status write_all(const ostrel_writer& w, const uint8_t* data, size_t n) {
  const int fd = w.fd.get();
  while (n > 0) {
    ssize_t k = w.kind == Kind::Socket ? ::send(fd, data, n, MSG_NOSIGNAL)
                : w.kind == Kind::Pipe ? write_without_sigpipe(fd, data, n)
                                       : ::write(fd, data, n);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0)
      return c_api::set_qssf_error(
          qssf::QssfError::io("cannot write to " + w.target + ": " + os_error_text(errno), errno));
    data += k;
    n -= size_t(k);
  }
  return OSTREL_OK;
}

ostrel_status flush(ostrel_writer* w) {
  if (w->bytes.empty()) return OSTREL_OK;
  const ostrel_status status = write_all(*w, w->bytes.data(), w->bytes.size());
  w->bytes.clear();
  return status;
}

// Sends what was appended to the writer's bytes from `before` on: into a ring as one piece,
// otherwise to the descriptor (at once, or when a file's buffer is full).
ostrel_status emit(ostrel_writer* w, size_t before) {
  if (w->ring) {
    auto published = w->ring->publish({w->bytes.data() + before, w->bytes.size() - before}, w->full_timeout);
    w->bytes.resize(before);
    if (!published.ok()) return c_api::set_shm_error(published.error());
    return OSTREL_OK;
  }
  if (!w->buffered || w->bytes.size() >= kFileBuffer) return flush(w);
  return OSTREL_OK;
}

// Appends one frame to the writer's bytes, or refuses it (nothing appended).
// What the writer refuses of a frame: OSTREL_OK when it may be written.
ostrel_status refusal(const ostrel_writer* w, const ostrel_frame& frame) {
  if (frame.ancilla_count > 0 && !frame.detector_events)
    return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "frame->detector_events is NULL");
  // A reader refuses a stream whose ids do not rise: refused here, where the fault is.
  if (w->last_frame_id && frame.frame_id <= *w->last_frame_id)
    return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "frame_id must rise: got " + std::to_string(frame.frame_id) +
                                                           " after " + std::to_string(*w->last_frame_id));
  return OSTREL_OK;
}

qssf::FrameFields fields_of(const ostrel_frame& frame) {
  const size_t n = frame.ancilla_count;
  qssf::FrameFields fields;
  fields.frame_id = frame.frame_id;
  fields.round = frame.round;
  fields.timestamp_ns = frame.timestamp_ns;
  fields.qubit_count = frame.qubit_count;
  fields.code_type = frame.code_type;
  fields.distance = frame.distance;
  fields.detector_events = {frame.detector_events, n};
  if (frame.meas_results) fields.meas_results = {frame.meas_results, n};
  if (frame.has_observable_flips) fields.observable_flips = frame.observable_flips;
  return fields;  // encodable: the sizes come from one u16
}

ostrel_status encode(ostrel_writer* w, const ostrel_frame& frame) {
  if (const ostrel_status s = refusal(w, frame); s != OSTREL_OK) return s;
  (void)qssf::encode_frame(fields_of(frame), w->bytes);
  return OSTREL_OK;
}

// Encodes frames [from, count) straight into the ring's free bytes while each fits there whole,
// stopping at the first refused, and publishes them with one store; returns how many it wrote
// (the rest, from a frame that did not fit on, go the copying way). `refused` gets the refusal.
size_t write_in_place(ostrel_writer* w, const ostrel_frame* frames, size_t from, size_t count,
                      ostrel_status& refused) {
  // A few frames' worth is asked for, so the consumer's position is read once per few frames.
  constexpr uint64_t kWanted = 4096;
  std::span<uint8_t> room = w->ring->writable(kWanted);
  size_t used = 0;
  size_t k = from;
  for (; k < count; ++k) {
    if (refused = refusal(w, frames[k]); refused != OSTREL_OK) break;
    const qssf::FrameFields fields = fields_of(frames[k]);
    if (qssf::max_frame_size(fields) > room.size() - used) break;
    used = size_t(qssf::encode_frame_into(fields, room.data() + used) - room.data());
    w->last_frame_id = frames[k].frame_id;
  }
  if (used) w->ring->commit(used);
  return k - from;
}
// A descriptor's stream starts with its header; a ring's header is its prologue (see ShmRing).
ostrel_status start(std::unique_ptr<ostrel_writer> w, const uint8_t* schema_id, ostrel_writer** out) {
  if (!w->ring) qssf::encode_stream_header(schema_of(schema_id), w->bytes);
  if (!w->buffered) {
    if (ostrel_status s = flush(w.get()); s != OSTREL_OK) return s;
  }
  *out = w.release();
  return OSTREL_OK;
}

}  // namespace

extern "C" {

OSTREL_EXPORT ostrel_status ostrel_writer_open_file(const char* path, const uint8_t* schema_id, ostrel_writer** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(path);
    auto w = std::make_unique<ostrel_writer>();
    w->target = quoted(path);
    w->fd.reset(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!w->fd)
      return c_api::set_qssf_error(qssf::QssfError::io("cannot create " + w->target + ": " + os_error_text(errno), errno));
    w->buffered = true;
    w->bytes.reserve(kFileBuffer + 4096);
    return start(std::move(w), schema_id, out);
  });
}

OSTREL_EXPORT ostrel_status ostrel_writer_open_fd(int fd, const uint8_t* schema_id, ostrel_writer** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    auto w = std::make_unique<ostrel_writer>();
    w->target = "descriptor " + std::to_string(fd);
    w->fd.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    struct stat st{};
    if (!w->fd || ::fstat(w->fd.get(), &st) != 0)
      return c_api::set_qssf_error(qssf::QssfError::io("cannot write to " + w->target + ": " + os_error_text(errno), errno));
    w->kind = S_ISSOCK(st.st_mode) ? Kind::Socket : S_ISREG(st.st_mode) ? Kind::File : Kind::Pipe;
    return start(std::move(w), schema_id, out);
  });
}

OSTREL_EXPORT ostrel_status ostrel_shm_create(const char* name, uint64_t capacity, const uint8_t* schema_id,
                                              int64_t full_timeout_ns, ostrel_writer** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(name);
    if (auto posix = io::shm_ring_posix_name(name); !posix.ok())
      return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, posix.error());
    std::vector<uint8_t> header;
    qssf::encode_stream_header(schema_of(schema_id), header);
    auto ring = io::ShmRing::create(name, capacity, header);
    if (!ring.ok()) return c_api::set_shm_error(ring.error());
    auto w = std::make_unique<ostrel_writer>();
    w->ring.emplace(std::move(ring).value());
    w->full_timeout = std::chrono::nanoseconds(full_timeout_ns);
    return start(std::move(w), schema_id, out);
  });
}

OSTREL_EXPORT ostrel_status ostrel_shm_unlink(const char* name) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(name);
    auto posix = io::shm_ring_posix_name(name);
    if (!posix.ok()) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, posix.error());
    if (shm_unlink(posix->c_str()) != 0 && errno != ENOENT)
      return c_api::set_qssf_error(
          qssf::QssfError::io("cannot unlink ring " + quoted(*posix) + ": " + os_error_text(errno), errno));
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_writer_write(ostrel_writer* writer, const ostrel_frame* frame) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(writer);
    OSTREL_REQUIRE(frame);
    if (writer->ring) {
      ostrel_status refused = OSTREL_OK;
      if (write_in_place(writer, frame, 0, 1, refused) == 1 || refused != OSTREL_OK) return refused;
    }
    const size_t before = writer->bytes.size();
    if (const ostrel_status s = encode(writer, *frame); s != OSTREL_OK) return s;
    const ostrel_status status = emit(writer, before);
    if (status == OSTREL_OK) writer->last_frame_id = frame->frame_id;
    return status;
  });
}

OSTREL_EXPORT ostrel_status ostrel_writer_write_frames(ostrel_writer* writer, const ostrel_frame* frames, size_t count,
                                                       size_t* written) {
  size_t done = 0;
  const ostrel_status status = c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(writer);
    if (count) OSTREL_REQUIRE(frames);
    ostrel_status refused = OSTREL_OK;
    if (writer->ring) {
      // Straight into the ring while the frames fit before it wraps or fills.
      done = write_in_place(writer, frames, 0, count, refused);
      if (done == count || refused != OSTREL_OK) return refused;
    }
    const std::optional<uint64_t> last_before = writer->last_frame_id;
    const size_t before = writer->bytes.size();
    // Encoded up to the first frame refused; what was encoded goes out below either way.
    writer->ends.clear();
    for (size_t k = done; k < count && refused == OSTREL_OK; ++k) {
      refused = encode(writer, frames[k]);
      if (refused == OSTREL_OK) {
        writer->last_frame_id = frames[k].frame_id;
        writer->ends.push_back(writer->bytes.size());
      }
    }
    if (writer->ring) {
      // As many whole frames at a time as half the ring holds: one store of the write position
      // (and one look for a sleeping consumer) per piece rather than per frame.
      const uint64_t piece_limit = std::max<uint64_t>(writer->ring->capacity() / 2, 1);
      size_t from = before;
      const size_t in_place = done;  // writer->ends[e] ends frame in_place + e
      for (size_t e = 0; e < writer->ends.size();) {
        size_t k = e;
        while (k + 1 < writer->ends.size() && writer->ends[k + 1] - from <= piece_limit) ++k;
        auto published =
            writer->ring->publish({writer->bytes.data() + from, writer->ends[k] - from}, writer->full_timeout);
        if (!published.ok()) {
          writer->bytes.resize(before);
          writer->last_frame_id = done ? frames[done - 1].frame_id : last_before;
          return c_api::set_shm_error(published.error());
        }
        from = writer->ends[k];
        e = k + 1;
        done = in_place + e;
      }
      writer->bytes.resize(before);
    } else {
      const ostrel_status status = writer->ends.empty() ? OSTREL_OK : emit(writer, before);
      if (status != OSTREL_OK) {
        writer->last_frame_id = last_before;
        return status;
      }
      done = writer->ends.size();
    }
    return refused;
  });
  if (written) *written = done;
  return status;
}

OSTREL_EXPORT ostrel_status ostrel_writer_write_raw(ostrel_writer* writer, const uint8_t* bytes, size_t size) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(writer);
    if (size) OSTREL_REQUIRE(bytes);
    const size_t before = writer->bytes.size();
    writer->bytes.insert(writer->bytes.end(), bytes, bytes + size);
    return emit(writer, before);
  });
}

OSTREL_EXPORT ostrel_status ostrel_writer_wait_read(ostrel_writer* writer, int64_t timeout_ns) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(writer);
    if (!writer->ring) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "only a ring's writer waits for its reader");
    auto read = writer->ring->wait_until_read(std::chrono::nanoseconds(timeout_ns));
    if (read.ok()) return OSTREL_OK;
    if (read.error().would_block())
      return c_api::set_error(OSTREL_E_TIMEOUT, "ring " + quoted(writer->ring->name()) + ": frames written were not all read within " +
                                                    std::to_string(timeout_ns) + " ns");
    return c_api::set_shm_error(read.error());
  });
}

OSTREL_EXPORT ostrel_status ostrel_writer_close(ostrel_writer* writer) {
  if (!writer) return OSTREL_OK;
  std::unique_ptr<ostrel_writer> owned(writer);
  return c_api::guarded([&]() -> ostrel_status {
    if (owned->ring) {
      owned->ring->close_stream();
      return OSTREL_OK;
    }
    const ostrel_status status = flush(owned.get());
    if (::close(owned->fd.release()) != 0 && status == OSTREL_OK) {
      const int err = errno;
      return c_api::set_qssf_error(qssf::QssfError::io("cannot close " + owned->target + ": " + os_error_text(err), err));
    }
    return status;
  });
}

}  // extern "C"
