#pragma once
// An opened source: its byte source and the frame reader over it.
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "ostrel/qssf/reader.h"

namespace ostrel::io {

class FrameSource {
 public:
  FrameSource(std::unique_ptr<qssf::ByteSource> bytes, qssf::ReaderConfig config)
      : bytes_(std::move(bytes)), reader_(*bytes_, std::move(config)) {}

  // Reads the next frame into the reusable `frame`; blocks until the reader returns. With an
  // interrupt, a wait it ends gives ReadStatus::Interrupted and the next call resumes the frame.
  // An outcome held back by hold() is returned first.
  Result<qssf::ReadStatus, qssf::QssfError> read_one_frame(
      qssf::ParsedFrame& frame, const WaitInterrupt* interrupt = nullptr) {
    if (held_) return take_held(frame);
    before_last_read_ = reader_.handed_position();
    bytes_->set_interrupt(interrupt);
    auto read = reader_.next_frame(frame);
    bytes_->set_interrupt(nullptr);
    return read;
  }

  // Whether frames may still arrive after an end (a file being written).
  bool can_grow() const { return bytes_->can_grow(); }

  // The source's current end is its end from now on (see FrameReader::treat_end_as_final).
  void treat_end_as_final() noexcept { reader_.treat_end_as_final(); }

  // Appends the frames already buffered to `batch`, as FrameReader::append_buffered_frames; none
  // while an outcome is held, which comes first.
  uint64_t append_buffered_frames(qssf::FrameBatch& batch, uint64_t max_frames) {
    return held_ ? 0 : reader_.append_buffered_frames(batch, max_frames);
  }

  // Tells the byte source that every outcome given out so far, a held one aside, reached the
  // caller's user: a ring gives their bytes back to its producer, so that a consumer attaching
  // after this one starts at the first frame nobody was handed (see ShmRing).
  void hand_over() { bytes_->release(held_ ? before_last_read_ : reader_.handed_position()); }

  // Keeps an outcome already read for the next read_one_frame: a batch that ends before a frame
  // of another shape, or before an error, leaves it to the next call. At most one is held.
  void hold(qssf::ParsedFrame&& frame) { held_.emplace(std::in_place_index<0>, std::move(frame)); }
  void hold(qssf::QssfError&& error) { held_.emplace(std::in_place_index<1>, std::move(error)); }
  bool holds_outcome() const noexcept { return held_.has_value(); }

 private:
  Result<qssf::ReadStatus, qssf::QssfError> take_held(qssf::ParsedFrame& frame) {
    auto held = std::move(*held_);
    held_.reset();
    if (held.index() == 1) return fail(std::move(std::get<1>(held)));
    frame = std::move(std::get<0>(held));
    return qssf::ReadStatus::Frame;
  }

  std::unique_ptr<qssf::ByteSource> bytes_;  // declared first: outlives the reader
  qssf::FrameReader reader_;
  std::optional<std::variant<qssf::ParsedFrame, qssf::QssfError>> held_;
  uint64_t before_last_read_ = 0;  // the reader's handed position before the last read
};

}  // namespace ostrel::io
