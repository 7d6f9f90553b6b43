#pragma once
// An opened source: its byte source and the frame reader over it.
#include <memory>

#include "ostrel/qssf/reader.h"

namespace ostrel::io {

class FrameSource {
 public:
  FrameSource(std::unique_ptr<qssf::ByteSource> bytes, qssf::ReaderConfig config)
      : bytes_(std::move(bytes)), reader_(*bytes_, std::move(config)) {}

  // Reads the next frame into the reusable `frame`; blocks until the reader returns.
  Result<qssf::ReadStatus, qssf::QssfError> read_one_frame(qssf::ParsedFrame& frame) {
    return reader_.next_frame(frame);
  }

 private:
  std::unique_ptr<qssf::ByteSource> bytes_;  // declared first: outlives the reader
  qssf::FrameReader reader_;
};

}  // namespace ostrel::io
