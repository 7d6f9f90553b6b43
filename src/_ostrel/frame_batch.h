#pragma once
// FrameBatch: many frames as NumPy arrays, made by OstrelStream.read_batch.
#include <cstdint>
#include <functional>
#include <optional>

#include "_ostrel/python.h"

namespace ostrel {
struct WaitInterrupt;
}
namespace ostrel::io {
class FrameSource;
}
namespace ostrel::qssf {
struct ParsedFrame;
}
namespace ostrel::driver {
class StreamDecoder;
}

namespace ostrel::py {

PyTypeObject* frame_batch_type();
bool init_frame_batch_type();

inline constexpr const char* kReadBatchDoc =
    "read_batch($self, max_frames, *, bit_packed=False)\n--\n\n"
    "Read up to max_frames frames into one FrameBatch of NumPy arrays.\n"
    "\n"
    "The batch ends early at the end of the stream, before a frame whose ancilla count\n"
    "differs from the batch's first frame (that frame starts the next read), and before\n"
    "a frame that fails: the frames read so far are returned and the next read (a batch\n"
    "or next()) raises that failure, then reading continues as after it. An empty batch\n"
    "means the end of the stream. With a decoder set, every frame is decoded as next()\n"
    "decodes it. bit_packed=True packs detector events 8 to a byte, as Stim's b8 format.";

struct BatchRequest {
  uint64_t max_frames;
  bool bit_packed;
};
// The arguments of read_batch(max_frames, *, bit_packed=False); sets the Python error on failure.
std::optional<BatchRequest> parse_batch_request(PyObject* args, PyObject* kwargs);

// Reads one batch from an open stream's source (the caller holds the stream exclusively) and
// returns it as a new FrameBatch, or raises what the frames' reading raises. `first_wait` may end
// the wait for the first frame; `interrupted` then makes the call's result.
PyObject* read_frame_batch(io::FrameSource& source, qssf::ParsedFrame& frame,
                           driver::StreamDecoder* decoder, const BatchRequest& request,
                           const WaitInterrupt* first_wait, const std::function<PyObject*()>& interrupted);

}  // namespace ostrel::py
