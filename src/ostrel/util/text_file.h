#pragma once
// Reading a whole file into memory as UTF-8 text.
#include <string>

#include "ostrel/util/result.h"

namespace ostrel {

struct FileReadError {
  enum class Kind : uint8_t { Os, InvalidUtf8, NulInPath };
  Kind kind = Kind::Os;
  int os_code = 0;  // errno, for Kind::Os

  // "No such file or directory (os error 2)", "stream did not contain valid UTF-8", or
  // "file name contained an unexpected NUL byte".
  std::string message() const;
};

// The file's bytes, checked to be valid UTF-8 (no byte-order-mark handling: the bytes are kept).
Result<std::string, FileReadError> read_utf8_file(const std::string& path);

}  // namespace ostrel
