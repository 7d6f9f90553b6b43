// Streams: a file, a TCP source or a shared-memory ring, read by the core's frame reader.
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "c_api/boundary.h"
#include "c_api/shm_status.h"
#include "ostrel/io/open_source.h"
#include "ostrel/io/shm_source.h"
#include "ostrel/io/tcp_address.h"
#include "ostrel/qssf/payload.h"
#include "ostrel/util/quoted.h"

using namespace ostrel;

struct ostrel_stream {
  io::OpenedSource opened;  // a ring needs no runtime: its runtime stays null
  io::ShmSource* ring = nullptr;  // the source when it is a ring, owned by `opened`
  qssf::ParsedFrame frame;
  std::vector<uint8_t> events;
  // After the end or an error, every later call gives that outcome again.
  std::optional<ostrel_status> final_status;
  std::string final_message;
  // A read that waits longer than this gives OSTREL_E_TIMEOUT (negative: none).
  std::chrono::nanoseconds timeout{-1};
  std::chrono::steady_clock::time_point deadline;
  WaitInterrupt until_deadline;
};

namespace {

constexpr std::string_view kTcp = "tcp://";
constexpr std::string_view kIoPrefix = "i/o error: ";

bool deadline_passed(void* stream) {
  return std::chrono::steady_clock::now() >= static_cast<ostrel_stream*>(stream)->deadline;
}

ostrel_status wrap(io::OpenedSource opened, ostrel_stream** out) {
  auto stream = std::make_unique<ostrel_stream>();
  stream->opened = std::move(opened);
  stream->until_deadline.check = deadline_passed;
  stream->until_deadline.context = stream.get();
  *out = stream.release();
  return OSTREL_OK;
}

ostrel_status end_with(ostrel_stream* stream, ostrel_status status) {
  stream->final_status = status;
  if (status != OSTREL_END_OF_STREAM) stream->final_message = ostrel_last_error_message();
  return status;
}

// The opener's failure, with what was being opened named: "i/o error: cannot open 'x': ...".
ostrel_status open_failed(std::string_view source, const io::OpenError& error) {
  std::string text = error.message;
  if (text.starts_with(kIoPrefix)) text.erase(0, kIoPrefix.size());
  std::string_view address = source;
  const bool tcp = address.starts_with(kTcp);
  while (address.starts_with(kTcp)) address.remove_prefix(kTcp.size());
  const std::string what = tcp ? "cannot connect to " + quoted(address) : "cannot open " + quoted(source);
  return c_api::set_qssf_error(qssf::QssfError::io(what + ": " + text, error.os_errno));
}

}  // namespace

extern "C" {

OSTREL_EXPORT ostrel_status ostrel_stream_open(const char* source, ostrel_stream** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(source);
    const std::string_view text(source);
    // The core's opener refuses rings (the Python package has none); here they are at home.
    if (text.starts_with("shm://")) return ostrel_shm_open(source, out);
    if (text.starts_with(kTcp)) {
      std::string_view address = text;
      while (address.starts_with(kTcp)) address.remove_prefix(kTcp.size());
      if (auto form = io::tcp_address_form_error(address))
        return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "invalid TCP source " + quoted(text) + ": " + *form +
                                                               " (expected tcp://host:port)");
    }
    auto opened = io::open_source(text);
    if (!opened.ok()) return open_failed(text, opened.error());
    return wrap(std::move(opened).value(), out);
  });
}

OSTREL_EXPORT ostrel_status ostrel_shm_open(const char* name, ostrel_stream** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(name);
    auto source = io::ShmSource::open(name);
    if (!source.ok()) return c_api::set_shm_error(source.error());
    io::ShmSource* ring = source->get();
    io::OpenedSource opened;
    opened.source = std::make_unique<io::FrameSource>(std::move(source).value(), io::module_reader_config());
    const ostrel_status status = wrap(std::move(opened), out);
    (*out)->ring = ring;
    return status;
  });
}

OSTREL_EXPORT ostrel_status ostrel_stream_next(ostrel_stream* stream, ostrel_frame* frame) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(stream);
    OSTREL_REQUIRE(frame);
    if (stream->final_status) {
      if (*stream->final_status != OSTREL_END_OF_STREAM)
        c_api::set_error(*stream->final_status, stream->final_message);
      return *stream->final_status;
    }
    const WaitInterrupt* interrupt = nullptr;
    if (stream->timeout.count() >= 0) {
      stream->deadline = std::chrono::steady_clock::now() + stream->timeout;
      interrupt = &stream->until_deadline;
    }
    io::FrameSource& source = *stream->opened.source;
    auto read = source.read_one_frame(stream->frame, interrupt);
    source.hand_over();
    if (!read.ok()) return end_with(stream, c_api::set_qssf_error(read.error()));
    // A wait given up leaves the frame to the next call, which resumes it.
    if (*read == qssf::ReadStatus::Interrupted)
      return c_api::set_error(OSTREL_E_TIMEOUT, "no frame arrived within the stream's timeout of " +
                                                    std::to_string(stream->timeout.count()) + " ns");
    // A file's end is where its writer has got to: a later call reads what was appended.
    if (*read != qssf::ReadStatus::Frame)
      return source.can_grow() ? OSTREL_END_OF_STREAM : end_with(stream, OSTREL_END_OF_STREAM);
    const qssf::ParsedFrame& f = stream->frame;
    const uint16_t n = f.header.ancilla_count;
    stream->events.resize(n);
    const uint32_t fired = qssf::decode_detector_rle(f.detector_rle, stream->events);
    *frame = ostrel_frame{};
    frame->frame_id = f.header.frame_id;
    frame->round = f.header.round;
    frame->timestamp_ns = f.header.timestamp_ns;
    frame->qubit_count = f.header.qubit_count;
    frame->ancilla_count = n;
    frame->code_type = f.header.code_type;
    frame->distance = f.header.distance;
    frame->flags = f.header.flags;
    frame->detector_events = stream->events.data();
    frame->detector_event_count = fired;
    frame->meas_results = f.meas_results.data();
    if (f.extensions && f.extensions->observable_flips) {
      frame->has_observable_flips = 1;
      frame->observable_flips = *f.extensions->observable_flips;
    }
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_stream_set_spin(ostrel_stream* stream, int64_t spin_ns) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(stream);
    if (!stream->ring) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "only a ring's stream spins while it waits");
    if (spin_ns < 0) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "spin_ns must not be negative");
    stream->ring->set_spin(std::chrono::nanoseconds(spin_ns));
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_stream_set_timeout(ostrel_stream* stream, int64_t timeout_ns) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(stream);
    stream->timeout = std::chrono::nanoseconds(timeout_ns < 0 ? -1 : timeout_ns);
    // The wait looks at the deadline this often; below a millisecond it polls without sleeping.
    stream->until_deadline.interval = std::min(
        std::chrono::milliseconds(20), std::chrono::duration_cast<std::chrono::milliseconds>(stream->timeout));
    return OSTREL_OK;
  });
}

OSTREL_EXPORT void ostrel_stream_close(ostrel_stream* stream) {
  // Destroys the source before the runtime that serves it (OpenedSource's members in reverse).
  if (stream) {
    stream->opened.source.reset();
    delete stream;
  }
}

}  // extern "C"
