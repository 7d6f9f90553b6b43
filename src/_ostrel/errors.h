#pragma once
// The module's exception types and the boundary that turns C++ failures into Python exceptions.
#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include "_ostrel/python.h"
#include "ostrel/qssf/errors.h"

namespace ostrel::py {

inline constexpr const char* kNoDecoderMessage =
    "No decoder configured \xE2\x80\x94 call stream.set_decoder() or use ostrel.open(..., "
    "decoder=...) before reading observable_flips";

// "ostrel.OstrelError", derived from Exception; created once per process.
PyObject* ostrel_error_type();
// The type reported for internal faults, derived from BaseException so `except Exception` does
// not swallow a broken invariant.
PyObject* internal_fault_type();

// Each sets the Python error and returns nullptr, for `return raise_...(...)`.
std::nullptr_t raise_error(PyObject* type, const std::string& message);
std::nullptr_t raise_qssf(const qssf::QssfError& error);  // OSError with the error's message
std::nullptr_t raise_os_error(const std::string& message);
// The OSError subclass Python's own I/O picks for `errnum` (FileNotFoundError for ENOENT, ...)
// with `errno` set; str() of the exception is `message` exactly. errnum 0 gives a plain OSError.
std::nullptr_t raise_os_error(const std::string& message, int errnum);
// The same for a failure to open the file `filename`: the exception is made as Python's own
// open() makes it, OSError(errnum, message, filename), so `filename` and `strerror` are set (and
// str() is "[Errno N] message: 'filename'").
std::nullptr_t raise_file_error(const std::string& message, int errnum, const std::string& filename);
std::nullptr_t raise_value_error(const std::string& message);
std::nullptr_t raise_internal_fault(const char* what);

// Runs `body` at an entry point from the interpreter. A C++ exception escaping it becomes the
// internal-fault exception; the error value of the entry point's type is returned.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (const std::bad_alloc&) {
    raise_internal_fault("out of memory");
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unknown internal error");
  }
  if constexpr (std::is_pointer_v<R>) return nullptr;
  else return R(-1);
}

}  // namespace ostrel::py
