#pragma once
// SyndromeWindow(ancilla_count, window_depth): the sliding detector matrix, fed with frames or
// NumPy arrays.
#include <cstddef>

#include "_ostrel/python.h"

namespace ostrel::decode {
struct WindowError;
}

namespace ostrel::py {

PyTypeObject* syndrome_window_type();
bool init_syndrome_window_type();

// ValueError for a reservation too large to address, MemoryError when allocation fails.
std::nullptr_t raise_window_error(const decode::WindowError& error);

}  // namespace ostrel::py
