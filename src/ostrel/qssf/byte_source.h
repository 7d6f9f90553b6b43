#pragma once
// What the frame reader pulls bytes from: a connected socket or a buffered file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "ostrel/qssf/errors.h"
#include "ostrel/util/result.h"

namespace ostrel::qssf {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Delivers between 1 and buf.size() bytes, 0 at the end of the stream, or an Io error. May wait.
  virtual Result<size_t, QssfError> read(std::span<uint8_t> buf) = 0;
};

}  // namespace ostrel::qssf
