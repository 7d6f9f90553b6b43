#pragma once
// Reads up to a given number of frames from an opened source into one FrameBatch, running the
// stream's decoding step on each frame when it has a decoder.
//
// The batch keeps the iterator's outcomes frame for frame: the frames read before a failure are
// returned, and the failure is held in the source for its next read (batch or single frame),
// which then continues exactly as after that failure. A failure met before any frame is
// returned at once. A batch stops before a frame whose ancilla count differs from its first
// frame's; that frame starts the next read.
#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "ostrel/driver/stream_decoder.h"
#include "ostrel/io/frame_source.h"
#include "ostrel/qssf/frame_batch.h"

namespace ostrel::driver {

using io::FrameSource;

// The wait for the first frame was ended by the caller's interrupt; nothing was consumed.
struct BatchInterrupted {
  std::string message() const { return "interrupted"; }
};

using BatchError = std::variant<qssf::QssfError, WindowError, qssf::BatchAllocError, BatchInterrupted>;

std::string batch_error_message(const BatchError& error);

// How a batch waits. A batch waits for its first frame as a single read does (`first`, which may
// end the wait: BatchInterrupted); after that it takes what the source has without waiting, so
// a live stream's batch returns the frames that have arrived rather than waiting for max_frames.
// `after_first_frame` runs once the first frame is in.
struct BatchWaits {
  const WaitInterrupt* first = nullptr;
  std::function<void()> after_first_frame;
};

// `max_frames` must be at least 1. `frame` is the caller's reusable frame buffer; `decoder` may
// be null. An empty batch means the end of the stream.
Result<qssf::FrameBatch, BatchError> read_batch(FrameSource& source, qssf::ParsedFrame& frame,
                                                uint64_t max_frames, bool bit_packed,
                                                StreamDecoder* decoder, const BatchWaits& waits = {});

}  // namespace ostrel::driver
