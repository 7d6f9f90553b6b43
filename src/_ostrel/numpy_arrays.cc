#include "_ostrel/numpy_arrays.h"

#include <cstdlib>
#include <cstring>

#include "_ostrel/py_ref.h"
#include "ostrel/qssf/frame_batch.h"

#define PY_ARRAY_UNIQUE_SYMBOL ostrel_ARRAY_API
#include <numpy/arrayobject.h>

namespace ostrel::py {
namespace {

// The container keeps its bytes inline, so one allocation holds both.
struct SliceContainer {
  PyObject_VAR_HEAD
};

uint8_t* container_bytes(PyObject* o) {
  return reinterpret_cast<uint8_t*>(o) + sizeof(SliceContainer);
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    container_slots,
};

PyTypeObject* container_type = nullptr;

PyObject* new_array(const void* data, size_t size, int typenum, int nd, npy_intp* dims) {
  PyRef container = PyRef::steal(container_type->tp_alloc(container_type, Py_ssize_t(size)));
  if (!container) return nullptr;
  uint8_t* bytes = container_bytes(container.get());
  if (size) std::memcpy(bytes, data, size);
  PyRef array = PyRef::steal(PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, bytes, 0,
                                         NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) != 0)
    return nullptr;
  return array.release();
}

void free_capsule_memory(PyObject* capsule) {
  auto* data = static_cast<uint8_t*>(PyCapsule_GetPointer(capsule, "ostrel.array_memory"));
  qssf::RawBlock::free(data, reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule)));
}

}  // namespace

PyObject* new_owning_array(qssf::RawBlock&& block, int typenum, int nd, const int64_t* dims) {
  npy_intp shape[2] = {0, 0};
  for (int i = 0; i < nd && i < 2; ++i) shape[i] = npy_intp(dims[i]);
  if (!block) return PyArray_ZEROS(nd, shape, typenum, 0);
  PyRef base = PyRef::steal(PyCapsule_New(block.data(), "ostrel.array_memory", free_capsule_memory));
  if (!base) return nullptr;  // the block still frees itself
  const auto [data, mapped] = block.release();
  if (PyCapsule_SetContext(base.get(), reinterpret_cast<void*>(uintptr_t(mapped))) != 0) {
    qssf::RawBlock::free(data, mapped);
    PyCapsule_SetDestructor(base.get(), nullptr);
    return nullptr;
  }
  PyRef array = PyRef::steal(PyArray_New(&PyArray_Type, nd, shape, typenum, nullptr, data, 0,
                                         NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) != 0)
    return nullptr;
  return array.release();
}

int numpy_type_bool() { return NPY_BOOL; }
int numpy_type_int8() { return NPY_INT8; }
int numpy_type_uint8() { return NPY_UINT8; }
int numpy_type_uint16() { return NPY_UINT16; }
int numpy_type_uint32() { return NPY_UINT32; }
int numpy_type_uint64() { return NPY_UINT64; }

bool init_numpy() {
  if (PyArray_API == nullptr && PyArray_ImportNumPyAPI() < 0) return false;
  if (!container_type) {
    container_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&container_spec));
    if (!container_type) return false;
  }
  return true;
}

PyObject* new_bool_array(std::span<const uint8_t> values) {
  npy_intp dims[1] = {npy_intp(values.size())};
  return new_array(values.data(), values.size(), NPY_BOOL, 1, dims);
}

PyObject* new_int8_array(std::span<const int8_t> values) {
  npy_intp dims[1] = {npy_intp(values.size())};
  return new_array(values.data(), values.size(), NPY_INT8, 1, dims);
}

std::optional<BoolVectorView> bool_vector_view(PyObject* o, const char* name) {
  if (!PyArray_Check(o) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) != 1 ||
      PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) != NPY_BOOL) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-D NumPy bool array, got %s", name,
                 Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(o);
  return BoolVectorView{static_cast<const uint8_t*>(PyArray_DATA(array)),
                        uint64_t(PyArray_DIM(array, 0)), std::ptrdiff_t(PyArray_STRIDE(array, 0))};
}

PyObject* new_bool_matrix(std::span<const uint8_t> values, size_t rows, size_t cols) {
  npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  return new_array(values.data(), values.size(), NPY_BOOL, 2, dims);
}

PyObject* new_index_matrix(std::span<const uint32_t> values, size_t rows, size_t cols, uint32_t none) {
  npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
  PyObject* array = PyArray_SimpleNew(2, dims, NPY_INT64);
  if (!array) return nullptr;
  auto* out = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (size_t i = 0; i < values.size(); ++i) out[i] = values[i] == none ? -1 : int64_t{values[i]};
  return array;
}

std::optional<uint64_t> numpy_bool_scalar(PyObject* o) {
  if (!PyArray_IsScalar(o, Bool)) return std::nullopt;
  const int truth = PyObject_IsTrue(o);  // cannot fail for a NumPy bool
  return uint64_t(truth > 0 ? 1 : 0);
}

}  // namespace ostrel::py
