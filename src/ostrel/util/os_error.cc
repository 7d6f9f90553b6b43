#include "ostrel/util/os_error.h"

#include <cstring>

namespace ostrel {
namespace {

// strerror_r comes in two flavours; overloading on the return type picks the right reading.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}

}  // namespace

std::string os_error_text(int errnum) {
  char buf[256] = {};
  const char* text = strerror_result(strerror_r(errnum, buf, sizeof buf), buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace ostrel
