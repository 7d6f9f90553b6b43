#include "c_api/boundary.h"

#include <cstring>

namespace ostrel::c_api {
namespace {

thread_local std::string last_error;

}  // namespace

ostrel_status set_error(ostrel_status status, const char* message) noexcept {
  try {
    last_error.assign(message);
  } catch (...) {
    last_error.clear();  // keeps its buffer: cannot throw
  }
  return status;
}

ostrel_status set_error(ostrel_status status, const std::string& message) noexcept {
  return set_error(status, message.c_str());
}

ostrel_status set_qssf_error(const qssf::QssfError& error) noexcept {
  const ostrel_status status = error.kind == qssf::QssfErrorKind::Io ? OSTREL_E_IO : OSTREL_E_FORMAT;
  try {
    return set_error(status, error.message());
  } catch (...) {
    return set_error(status, "QSSF error (its message could not be rendered)");
  }
}

}  // namespace ostrel::c_api

extern "C" {

OSTREL_EXPORT uint32_t ostrel_api_version(void) { return OSTREL_API_VERSION; }

OSTREL_EXPORT const char* ostrel_version(void) { return OSTREL_VERSION_STRING; }

OSTREL_EXPORT const char* ostrel_last_error_message(void) { return ostrel::c_api::last_error.c_str(); }

OSTREL_EXPORT const char* ostrel_status_name(ostrel_status status) {
  switch (status) {
    case OSTREL_OK: return "OSTREL_OK";
    case OSTREL_END_OF_STREAM: return "OSTREL_END_OF_STREAM";
    case OSTREL_E_INVALID_ARGUMENT: return "OSTREL_E_INVALID_ARGUMENT";
    case OSTREL_E_FORMAT: return "OSTREL_E_FORMAT";
    case OSTREL_E_IO: return "OSTREL_E_IO";
    case OSTREL_E_NO_MEMORY: return "OSTREL_E_NO_MEMORY";
    case OSTREL_E_WOULD_BLOCK: return "OSTREL_E_WOULD_BLOCK";
    case OSTREL_E_STATE: return "OSTREL_E_STATE";
    case OSTREL_E_INTERNAL: return "OSTREL_E_INTERNAL";
    case OSTREL_E_TIMEOUT: return "OSTREL_E_TIMEOUT";
    default: return "unknown status";
  }
}

}  // extern "C"
