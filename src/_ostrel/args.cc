#include "_ostrel/args.h"

#include <string>

#include "_ostrel/errors.h"
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

std::optional<uint64_t> arg_count(PyObject* value, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (index) {
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return std::nullopt;
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) return std::nullopt;
    if (negative) {
      PyRef text = PyRef::steal(PyObject_Str(index.get()));
      const char* number = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      if (!number) return std::nullopt;
      raise_value_error(std::string(name) + " must be \xE2\x89\xA5 0, got " + number);
      return std::nullopt;
    }
  } else {
    PyErr_Clear();  // arg_u64 reports it, or takes a NumPy bool
  }
  return arg_u64(value, name);
}

PyObject* pickle_reduction(const char* name, PyObject* args, PyObject* kwargs) {
  PyRef module = PyRef::steal(PyImport_ImportModule("ostrel._pickle"));
  if (!module) return nullptr;
  PyRef rebuild = PyRef::steal(PyObject_GetAttrString(module.get(), "rebuild"));
  if (!rebuild) return nullptr;
  return Py_BuildValue("(O(sOO))", rebuild.get(), name, args, kwargs);
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
