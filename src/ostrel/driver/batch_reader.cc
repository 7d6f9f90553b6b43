#include "ostrel/driver/batch_reader.h"

#include <chrono>
#include <vector>

namespace ostrel::driver {

std::string batch_error_message(const BatchError& error) {
  return std::visit([](const auto& e) { return e.message(); }, error);
}

namespace {

// Ends every wait at once: later frames of a batch are those already at hand.
bool stop_at_once(void*) { return true; }
const WaitInterrupt kNoWait{std::chrono::milliseconds(0), &stop_at_once, nullptr};

}  // namespace

Result<qssf::FrameBatch, BatchError> read_batch(FrameSource& source, qssf::ParsedFrame& frame,
                                                uint64_t max_frames, bool bit_packed,
                                                StreamDecoder* decoder, const BatchWaits& waits) {
  auto read = source.read_one_frame(frame, waits.first);
  if (!read.ok()) return fail(BatchError(std::move(read).error()));
  if (*read == qssf::ReadStatus::Interrupted) return fail(BatchError(BatchInterrupted{}));
  if (*read == qssf::ReadStatus::EndOfStream) return qssf::FrameBatch::empty(bit_packed);
  if (waits.after_first_frame) waits.after_first_frame();

  const uint16_t ancillas = frame.header.ancilla_count;
  auto allocated = qssf::FrameBatch::allocate(max_frames, ancillas, bit_packed);
  if (!allocated.ok()) {
    source.hold(std::move(frame));  // nothing is lost: the next read starts with this frame
    return fail(BatchError(std::move(allocated).error()));
  }
  qssf::FrameBatch batch = std::move(allocated).value();
  std::vector<uint8_t> unpacked(decoder && bit_packed ? ancillas : 0);

  while (true) {
    batch.append(frame);
    if (decoder) {
      const uint64_t row = batch.size() - 1;
      std::span<const uint8_t> events = batch.detector_row(row);
      if (bit_packed) {
        qssf::decode_detector_rle(frame.detector_rle, std::span<uint8_t>(unpacked));
        events = unpacked;
      }
      auto mask = decoder->decode_frame(ancillas, events, frame.header.round);
      if (!mask.ok()) {
        // A window that cannot be created, or a frame the decoder refuses, changes nothing. The
        // iterator raises it for that frame; a batch does the same, leaving any frames
        // before it for the caller and the frame itself to the next read, which meets it first.
        if (row == 0) return fail(BatchError(std::move(mask).error()));
        batch.drop_last();
        source.hold(std::move(frame));
        break;
      }
      batch.set_observable_flips(row, *mask);
    }
    if (batch.size() == max_frames) break;
    // Without a decoder, the frames already buffered go straight into the columns; the frame
    // that stops that (not buffered whole, another shape, a fault) is read the usual way below.
    if (!decoder && source.append_buffered_frames(batch, max_frames) > 0 && batch.size() == max_frames) break;
    read = source.read_one_frame(frame, &kNoWait);
    if (!read.ok()) {
      source.hold(std::move(read).error());
      break;
    }
    // An interrupted read leaves its frame to the next read, which resumes it.
    if (*read != qssf::ReadStatus::Frame) break;
    if (frame.header.ancilla_count != ancillas) {
      source.hold(std::move(frame));
      break;
    }
  }
  batch.shrink_to_fit();
  return batch;
}

}  // namespace ostrel::driver
