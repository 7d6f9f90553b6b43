#pragma once
// Conversion of argument values. A TypeError raised while converting is re-raised as
// "argument '<name>': <message>"; OverflowError passes unchanged.
#include <cstdint>
#include <optional>
#include <string_view>

#include "_ostrel/python.h"

namespace ostrel::py {

std::optional<std::string_view> arg_str(PyObject* value, const char* name);
std::optional<uint64_t> arg_u64(PyObject* value, const char* name);
// A count: as arg_u64, but a negative integer raises ValueError "<name> must be ≥ 0, got -1".
std::optional<uint64_t> arg_count(PyObject* value, const char* name);
std::optional<double> arg_f64(PyObject* value, const char* name);

// A METH_VARARGS | METH_KEYWORDS function in the type PyMethodDef stores.
inline PyCFunction with_keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// What __reduce__ returns for an object of class `name` rebuilt as name(*args, **kwargs): the
// classes are builtins, which pickle cannot look up by name, so a helper of the package does it.
PyObject* pickle_reduction(const char* name, PyObject* args, PyObject* kwargs);

// Prefixes the pending TypeError (if that is what is pending) with the argument's name.
void name_type_error(const char* name);

}  // namespace ostrel::py
