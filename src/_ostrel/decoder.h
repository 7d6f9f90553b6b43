#pragma once
// Decoder(dem, method="matching", **options): decodes shots given as NumPy arrays, one at a time
// or in batches, with the return conventions of the matching decoders Python users know.
#include <cstdint>
#include <optional>

#include "_ostrel/python.h"
#include "ostrel/driver/decoder_options.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/driver/stream_decoder.h"

namespace ostrel::py {

PyTypeObject* decoder_type();
bool init_decoder_type();

// Whether `o` is a Decoder. If so, `out` receives a stream decoder on the same graph and method
// with scratch space of its own, or a Python error is set and false returned.
bool is_decoder(PyObject* o);
bool stream_decoder_from(PyObject* decoder, uint64_t window_depth, std::optional<driver::StreamDecoder>& out);

// Raises the driver's refusal (ValueError, or MemoryError); returns false.
bool raise_driver_error(const driver::DriverError& error);
// The keyword arguments a method reads, from a dict of ints, floats and strs (TypeError else).
bool decoder_options_from(PyObject* kwargs, driver::DecoderOptions& options);

}  // namespace ostrel::py
