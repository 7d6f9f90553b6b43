#include "_ostrel/errors.h"

#include <mutex>

#include "_ostrel/py_ref.h"

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
  return raise_os_error(error.message(), error.os_errno);
}

std::nullptr_t raise_error(PyObject* type, const std::string& message) {
  // Messages may quote user text, NUL bytes included, so the length is given, not implied.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
  if (!text) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

std::nullptr_t raise_os_error(const std::string& message) {
  return raise_error(PyExc_OSError, message);
}

std::nullptr_t raise_os_error(const std::string& message, int errnum) {
  if (errnum == 0) return raise_os_error(message);
  // OSError(errno, text) picks the subclass, but its str() would become "[Errno N] text": the
  // exception is made from the message alone and given its errno afterwards, which keeps str().
  PyRef probe = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", errnum, ""));
  if (!probe) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
  if (!text) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return nullptr;
  PyRef code = PyRef::steal(PyLong_FromLong(errnum));
  if (!code || PyObject_SetAttrString(exc.get(), "errno", code.get()) != 0) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

std::nullptr_t raise_file_error(const std::string& message, int errnum, const std::string& filename) {
  if (errnum == 0) return raise_os_error(message);
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
  if (!text) return nullptr;
  PyRef name = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(filename.data(), Py_ssize_t(filename.size())));
  if (!name) return nullptr;
  // OSError's constructor picks the subclass for errnum.
  PyRef exc = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iOO", errnum, text.get(), name.get()));
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

std::nullptr_t raise_value_error(const std::string& message) {
  return raise_error(PyExc_ValueError, message);
}

std::nullptr_t raise_internal_fault(const char* what) {
  PyObject* type = internal_fault_type();
  if (type) PyErr_Format(type, "internal error in _ostrel: %s", what);
  return nullptr;
}

}  // namespace ostrel::py
