#pragma once
// NumPy arrays over private copies of module data. Each array's base object is a small
// PySliceContainer that owns the copied bytes and frees them when the array is collected.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "_ostrel/python.h"

namespace ostrel::qssf {
class RawBlock;
}

namespace ostrel::py {

// Imports NumPy's C API and creates the container type; call once from the module's exec step.
bool init_numpy();

PyObject* new_bool_array(std::span<const uint8_t> values);  // 1-D, one byte (0/1) per element
PyObject* new_int8_array(std::span<const int8_t> values);
// The elements of a 1-D bool array as they lie in memory: element i is at data + i * stride.
struct BoolVectorView {
  const uint8_t* data;
  uint64_t count;
  std::ptrdiff_t stride;
};
// Sets TypeError naming the argument unless `o` is a 1-D NumPy bool array.
std::optional<BoolVectorView> bool_vector_view(PyObject* o, const char* name);

// An array over the block's memory, which the array takes over and frees when it is collected.
// An empty block gives a new zero-filled array (for no elements).
PyObject* new_owning_array(qssf::RawBlock&& block, int typenum, int nd, const int64_t* dims);
// NumPy's type numbers for the element types the module hands out.
int numpy_type_bool();
int numpy_type_int8();
int numpy_type_uint8();
int numpy_type_uint16();
int numpy_type_uint32();
int numpy_type_uint64();
// 0 or 1 when `o` is a NumPy bool scalar (numpy.True_ has no __index__), else nothing.
std::optional<uint64_t> numpy_bool_scalar(PyObject* o);

// A 2-D bool array of rows x cols over a copy of `values` (row-major).
PyObject* new_bool_matrix(std::span<const uint8_t> values, size_t rows, size_t cols);
// A 2-D int64 array of rows x cols (row-major) where `none` becomes -1 and every other value is
// copied as it is.
PyObject* new_index_matrix(std::span<const uint32_t> values, size_t rows, size_t cols, uint32_t none);

}  // namespace ostrel::py
