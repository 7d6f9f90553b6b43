#pragma once
// Decoder(dem, method="weighted-union-find"): decodes shots given as NumPy arrays, one at a time
// or in batches, with the return conventions of the matching decoders Python users know.
#include <cstdint>
#include <optional>

#include "_ostrel/python.h"
#include "ostrel/decode/stream_decoder.h"

namespace ostrel::py {

PyTypeObject* decoder_type();
bool init_decoder_type();

// Whether `o` is a Decoder. If so, `out` receives a stream decoder on the same graph and method
// with scratch space of its own, or a Python error is set and false returned.
bool is_decoder(PyObject* o);
bool stream_decoder_from(PyObject* decoder, uint64_t window_depth, std::optional<decode::StreamDecoder>& out);

}  // namespace ostrel::py
