#pragma once
// An owned reference to a Python object, released on destruction.
#include <utility>

#include "_ostrel/python.h"

namespace ostrel::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (may be null).
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Frees an instance of one of the module's heap types, whose members are already destroyed, and
// releases the reference every such instance holds to its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace ostrel::py
