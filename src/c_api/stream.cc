// Streams: a file, a TCP source or a shared-memory ring, read by the core's frame reader.
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
#include "ostrel/qssf/payload.h"

using namespace ostrel;

struct ostrel_stream {
  io::OpenedSource opened;  // a ring needs no runtime: its runtime stays null
  io::ShmSource* ring = nullptr;  // the source when it is a ring, owned by `opened`
  qssf::ParsedFrame frame;
  std::vector<uint8_t> events;
  // After the end or an error, every later call gives that outcome again.
  std::optional<ostrel_status> final_status;
  std::string final_message;
};

namespace {

ostrel_status wrap(io::OpenedSource opened, ostrel_stream** out) {
  auto stream = std::make_unique<ostrel_stream>();
  stream->opened = std::move(opened);
  *out = stream.release();
  return OSTREL_OK;
}

ostrel_status end_with(ostrel_stream* s, ostrel_status status) {
  s->final_status = status;
  if (status != OSTREL_END_OF_STREAM) s->final_message = ostrel_last_error_message();
  return status;
}

}  // namespace

extern "C" {

OSTREL_EXPORT ostrel_status ostrel_stream_open(const char* source, ostrel_stream** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(source);
    // The core's opener refuses rings (the Python package has none); here they are at home.
    if (std::string_view(source).starts_with("shm://")) return ostrel_shm_open(source, out);
    auto opened = io::open_source(source);
    if (!opened.ok()) return c_api::set_error(OSTREL_E_IO, opened.error().message);
    return wrap(std::move(opened).value(), out);
  });
}

OSTREL_EXPORT ostrel_status ostrel_shm_open(const char* name, ostrel_stream** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(name);
    if (auto posix = io::shm_ring_posix_name(name); !posix.ok())
      return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, posix.error());
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

OSTREL_EXPORT ostrel_status ostrel_stream_next(ostrel_stream* s, ostrel_frame* out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(s);
    OSTREL_REQUIRE(out);
    if (s->final_status) {
      if (*s->final_status != OSTREL_END_OF_STREAM) c_api::set_error(*s->final_status, s->final_message);
      return *s->final_status;
    }
    auto read = s->opened.source->read_one_frame(s->frame);
    s->opened.source->hand_over();
    if (!read.ok()) return end_with(s, c_api::set_qssf_error(read.error()));
    // A file's end is where its writer has got to: a later call reads what was appended.
    if (*read != qssf::ReadStatus::Frame)
      return s->opened.source->can_grow() ? OSTREL_END_OF_STREAM : end_with(s, OSTREL_END_OF_STREAM);
    const qssf::ParsedFrame& f = s->frame;
    const uint16_t n = f.header.ancilla_count;
    s->events.resize(n);
    qssf::decode_detector_rle(f.detector_rle, s->events);
    uint32_t fired = 0;
    for (uint8_t e : s->events) fired += e;
    *out = ostrel_frame{};
    out->frame_id = f.header.frame_id;
    out->round = f.header.round;
    out->timestamp_ns = f.header.timestamp_ns;
    out->qubit_count = f.header.qubit_count;
    out->ancilla_count = n;
    out->code_type = f.header.code_type;
    out->distance = f.header.distance;
    out->flags = f.header.flags;
    out->detector_events = s->events.data();
    out->detector_event_count = fired;
    out->meas_results = f.meas_results.data();
    if (f.extensions && f.extensions->observable_flips) {
      out->has_observable_flips = 1;
      out->observable_flips = *f.extensions->observable_flips;
    }
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_stream_set_spin(ostrel_stream* s, int64_t spin_ns) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(s);
    if (!s->ring) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "only a ring's stream spins while it waits");
    if (spin_ns < 0) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "spin_ns must not be negative");
    s->ring->set_spin(std::chrono::nanoseconds(spin_ns));
    return OSTREL_OK;
  });
}

OSTREL_EXPORT void ostrel_stream_close(ostrel_stream* s) {
  // Destroys the source before the runtime that serves it (OpenedSource's members in reverse).
  if (s) {
    s->opened.source.reset();
    delete s;
  }
}

}  // extern "C"
