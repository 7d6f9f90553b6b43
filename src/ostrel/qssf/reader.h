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

// What a call that stops short of a whole frame leaves: nothing of the frame is consumed, or (a frame
// too long for the ring) the reader keeps what it has and the next call carries on from there.
// Interrupted: the source's interrupt ended a wait. EndOfStream: the source has no frame to give
// now; a frame cut by the current end of a source that can grow (a file being written) is left
// for a later call, which reads it whole once its bytes have arrived. A source that cannot grow
// and ends inside a frame gives one Truncated error, then the end.
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

  // From now on the source's current end is its end, even if it could grow: a frame cut by it is
  // reported as truncated. For readers of whole files.
  void treat_end_as_final() noexcept { end_is_final_ = true; }

  // The source position just past the last outcome returned (a frame, or an error that consumed
  // its bytes): where the next call starts, a frame resumed mid-way aside.
  uint64_t handed_position() const noexcept { return frame_origin_; }

  bool header_read() const noexcept { return header_read_; }
  const SchemaId& schema_id() const noexcept { return schema_id_; }
  std::optional<uint64_t> last_frame_id() const noexcept { return last_frame_id_; }

 private:
  // Where a call that stopped short resumes. Start: the frame's first byte (the frame is read
  // again). A frame that outgrows the ring (only a long extension list can) moves it forward: to
  // the extension entry being read, then to the annotations, keeping the frame read so far.
  enum class Stage : uint8_t { Start, Extensions, Tail };
  enum class Stop : uint8_t { None, Ended, Interrupted, Failed };

  // Makes the ring hold at least n unread bytes: true when it does; false when the call must stop
  // (the source ended, a wait was interrupted or the source failed: stop_ says which). `rest` is the least the frame
  // needs after these n bytes, `exact` whether that is all of it (for the truncation report).
  Result<bool, QssfError> fill(uint64_t n, uint64_t rest = 0, bool exact = false);
  std::span<const uint8_t> take(uint64_t n);  // view + advance; n must be buffered
  Result<ReadStatus, QssfError> read_frame(ParsedFrame& frame);
  // The common case in one pass: a frame buffered whole in one stretch of the ring, sound, with
  // a rising id and no annotations, read as read_frame would read it. False (nothing changed)
  // for anything else, which read_frame then reads step by step with its usual outcome.
  bool read_whole_buffered(ParsedFrame& frame);
  // As read_whole_buffered over `bytes`: the frame's length when it took one, else 0.
  uint64_t read_whole(std::span<const uint8_t> bytes, ParsedFrame& frame);
  Result<ReadStatus, QssfError> read_body(ParsedFrame& frame);
  Result<ReadStatus, QssfError> read_extensions(ParsedFrame& frame);
  Result<ReadStatus, QssfError> read_tail(ParsedFrame& frame);
  Result<ReadStatus, QssfError> stopped(ParsedFrame& frame, std::optional<uint64_t> last_frame_id);
  uint64_t rewind_floor() const noexcept { return stage_ == Stage::Start ? frame_origin_ : stage_position_; }
  void begin_frame() noexcept;

  ByteSource& source_;
  ReaderConfig config_;
  RingBuffer ring_;
  std::vector<uint8_t> scratch_;
  bool header_read_ = false;
  bool end_is_final_ = false;
  SchemaId schema_id_{};
  std::optional<uint64_t> last_frame_id_;

  uint64_t frame_origin_ = 0;  // ring position of the current frame's first byte
  uint64_t frame_index_ = 0;   // frames consumed before the current one
  bool header_parsed_ = false; // the current frame's header has been read
  bool backwards_ = false;     // the current frame's id does not rise; reported once it is consumed
  uint64_t last_seen_ = 0;     // the id it is compared with
  Stage stage_ = Stage::Start;
  uint64_t stage_position_ = 0;
  uint16_t next_entry_ = 0;    // Extensions: the entry to read next, of entry_count_
  uint16_t entry_count_ = 0;
  uint32_t payload_crc_ = 0;   // CRC-32C of the current frame's payload (frames with extensions)
  ParsedFrame partial_;        // the frame read so far while stage_ is not Start

  Stop stop_ = Stop::None;
  std::optional<QssfError> failure_;  // Failed: the source's error, returned once the call is undone
  uint64_t needed_ = 0;        // Ended: the position the frame needed bytes up to, at the least
  bool needed_exact_ = false;
};

}  // namespace ostrel::qssf
