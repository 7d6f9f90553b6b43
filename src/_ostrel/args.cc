#include "_ostrel/args.h"

#include "_ostrel/numpy_arrays.h"
#include "_ostrel/py_ref.h"

namespace ostrel::py {

void name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  if (!text) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", name);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

std::optional<std::string_view> arg_str(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'str'", name,
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (!data) {
    name_type_error(name);
    return std::nullopt;
  }
  return std::string_view(data, size_t(size));
}

std::optional<uint64_t> arg_u64(PyObject* value, const char* name) {
  if (!PyLong_Check(value)) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
      // A NumPy bool counts as 0 or 1, as Python's own bool does.
      if (auto flag = numpy_bool_scalar(value); flag && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return flag;
      }
      name_type_error(name);
      return std::nullopt;
    }
    return arg_u64(index.get(), name);
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  if (v == (unsigned long long)-1 && PyErr_Occurred()) {
    name_type_error(name);
    return std::nullopt;
  }
  return uint64_t(v);
}

std::optional<double> arg_f64(PyObject* value, const char* name) {
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    name_type_error(name);
    return std::nullopt;
  }
  return v;
}

}  // namespace ostrel::py
