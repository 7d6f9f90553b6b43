#pragma once
// Cuts a byte source into validated frames, one per call: stream header once, then frame header,
// payload, optional sections and trailer, with a strictly rising frame_id.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "ostrel/qssf/byte_source.h"
#include "ostrel/qssf/frame_batch.h"
#include "ostrel/qssf/headers.h"
#include "ostrel/qssf/payload.h"
#include "ostrel/qssf/reader_config.h"
#include "ostrel/qssf/ring_buffer.h"

namespace ostrel::qssf {

// Interrupted: the source's interrupt ended a wait; nothing of the frame is consumed and the next
// call reads it again from its first byte (those already buffered are not read again).
enum class ReadStatus { Frame, EndOfStream, Interrupted };

class FrameReader {
 public:
  // `source` must outlive the reader.
  FrameReader(ByteSource& source, ReaderConfig config);

  // Reads the next frame into `frame`, reusing its buffers. On EndOfStream or an error the contents
  // of `frame` are unspecified.
  Result<ReadStatus, QssfError> next_frame(ParsedFrame& frame);

  // Parses frames already buffered in the ring straight into `batch` until it holds `max_frames`,
  // without the per-frame copies of next_frame. It stops, consuming nothing of it, before the
  // first frame that is not wholly buffered in one stretch of the ring, whose ancilla count
  // differs from the batch's, that fails any check, or that needs the schema checks: next_frame
  // then reads that frame as usual, with its usual outcome. Reads nothing from the source; gives
  // the same frames, and leaves the reader as next_frame would have. Returns the frames appended.
  uint64_t append_buffered_frames(FrameBatch& batch, uint64_t max_frames);

  bool header_read() const noexcept { return header_read_; }
  const SchemaId& schema_id() const noexcept { return schema_id_; }
  std::optional<uint64_t> last_frame_id() const noexcept { return last_frame_id_; }

 private:
  // Makes the ring hold at least n unread bytes: true when it does, false when the source ended.
  Result<bool, QssfError> fill(uint64_t n);
  std::span<const uint8_t> take(uint64_t n);  // view + advance; n must be buffered
  Result<ReadStatus, QssfError> read_frame(ParsedFrame& frame);
  Result<ReadStatus, QssfError> read_body(ParsedFrame& frame);

  ByteSource& source_;
  ReaderConfig config_;
  RingBuffer ring_;
  std::vector<uint8_t> scratch_;
  bool header_read_ = false;
  SchemaId schema_id_{};
  std::optional<uint64_t> last_frame_id_;
  uint64_t frame_start_ = 0;  // ring position where the current call began
  bool interrupted_ = false;  // the current call's wait was given up; fills now fail at once
};

}  // namespace ostrel::qssf
