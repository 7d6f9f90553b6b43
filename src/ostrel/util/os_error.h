#pragma once
// Operating-system errors as values, rendered the way users see them:
// the OS text plus " (os error N)", e.g. "No such file or directory (os error 2)".
#include <string>

namespace ostrel {

std::string os_error_text(int errnum);

// A failure told by its text, with the errno behind it (0 when no system call failed, e.g.
// "invalid port value").
struct OsFailure {
  std::string text;
  int code = 0;
};

struct OsError {
  int code = 0;  // the errno value

  std::string message() const { return os_error_text(code); }
};

}  // namespace ostrel
