#pragma once
// What every entry point of the C interface shares: the calling thread's last error, and the
// guard that turns any C++ exception into a status so that none crosses into C.
#include <exception>
#include <new>
#include <string>

#include "ostrel/ostrel.h"
#include "ostrel/qssf/errors.h"

namespace ostrel::c_api {

// Records `message` as the thread's last error and returns `status`.
ostrel_status set_error(ostrel_status status, const std::string& message) noexcept;
ostrel_status set_error(ostrel_status status, const char* message) noexcept;
// Io errors are the system's; every other kind is about the bytes.
ostrel_status set_qssf_error(const qssf::QssfError& error) noexcept;

template <class F>
ostrel_status guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return set_error(OSTREL_E_NO_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return set_error(OSTREL_E_INTERNAL, e.what());
  } catch (...) {
    return set_error(OSTREL_E_INTERNAL, "unknown internal error");
  }
}

// The check every entry point makes of its pointer arguments.
#define OSTREL_REQUIRE(pointer)                                                              \
  do {                                                                                       \
    if ((pointer) == nullptr)                                                                \
      return ::ostrel::c_api::set_error(OSTREL_E_INVALID_ARGUMENT, #pointer " is NULL");     \
  } while (0)

}  // namespace ostrel::c_api
