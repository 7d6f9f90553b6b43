#pragma once
// An opened source: its byte source and the frame reader over it.
#include <memory>

#include "ostrel/qssf/reader.h"

namespace ostrel::io {

class FrameSource {
 public:
  FrameSource(std::unique_ptr<qssf::ByteSource> bytes, qssf::ReaderConfig config)
      : bytes_(std::move(bytes)), reader_(*bytes_, std::move(config)) {}

  // Reads the next frame into the reusable `frame`; blocks until the reader returns. With an
  // interrupt, a wait it ends gives ReadStatus::Interrupted and the next call resumes the frame.
  Result<qssf::ReadStatus, qssf::QssfError> read_one_frame(
      qssf::ParsedFrame& frame, const WaitInterrupt* interrupt = nullptr) {
    bytes_->set_interrupt(interrupt);
    auto read = reader_.next_frame(frame);
    bytes_->set_interrupt(nullptr);
    return read;
  }

 private:
  std::unique_ptr<qssf::ByteSource> bytes_;  // declared first: outlives the reader
  qssf::FrameReader reader_;
};

}  // namespace ostrel::io
