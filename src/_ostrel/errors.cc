#include "_ostrel/errors.h"

#include <mutex>

namespace ostrel::py {
namespace {

PyObject* make_exception_type(const char* qualified_name, PyObject* base) {
  PyObject* type = PyErr_NewException(qualified_name, base, nullptr);
  if (!type) {
    PyErr_Clear();
    PyErr_SetString(PyExc_SystemError, "Failed to initialize new exception type.");
  }
  return type;
}

}  // namespace

PyObject* ostrel_error_type() {
  // Created once per process; later imports (and subinterpreter-free re-imports) share it.
  static PyObject* type = make_exception_type("ostrel.OstrelError", PyExc_Exception);
  return type;
}

PyObject* internal_fault_type() {
  static PyObject* type = make_exception_type("ostrel.InternalFault", PyExc_BaseException);
  return type;
}

std::nullptr_t raise_qssf(const qssf::QssfError& error) {
  return raise_os_error(error.message());
}

std::nullptr_t raise_os_error(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  return nullptr;
}

std::nullptr_t raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

std::nullptr_t raise_internal_fault(const char* what) {
  PyObject* type = internal_fault_type();
  if (type) PyErr_Format(type, "internal error in _ostrel: %s", what);
  return nullptr;
}

}  // namespace ostrel::py
