#pragma once
// SlidingWindowDecoder(dem, commit_rounds, buffer_rounds, *, layout="coordinates",
// method="weighted-union-find"): decodes rounds as they arrive, committing a window at a time.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "_ostrel/borrow.h"
#include "_ostrel/python.h"
#include "ostrel/driver/stream_decoder.h"

namespace ostrel::py {

PyTypeObject* sliding_window_decoder_type();
bool init_sliding_window_decoder_type();

bool is_sliding_window_decoder(PyObject* o);
// One frame of a stream decoded by the object `decoder` under its exclusive borrow: on success
// `mask` is the running committed frame (the shot's prediction after its last round). A frame
// that does not fit (wrong ancilla count, a round out of order) raises ValueError and changes nothing.
bool sliding_window_decode_frame(PyObject* decoder, uint32_t round, std::span<const uint8_t> events,
                                 std::chrono::steady_clock::time_point arrival, uint64_t& mask);
// The object `decoder` as a stream's decoding step for a batch read, under the exclusive borrow
// it takes into `access` (held while `out` is used). False with RuntimeError set on conflict.
bool sliding_window_stream_decoder(PyObject* decoder, std::optional<Borrow>& access, std::optional<driver::StreamDecoder>& out);

}  // namespace ostrel::py
