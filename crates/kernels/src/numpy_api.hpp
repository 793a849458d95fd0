#pragma once
// The module's only contact with NumPy's C API. NumPy is bound at the first array
// conversion of the process, not at import, so importing the module stays cheap and
// works without NumPy.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>

#include "buffer.hpp"

namespace kernels::numpy {

// Binds NumPy's C API unless that was done before. A failure is a fatal internal
// failure ("Failed to access NumPy array API capsule: ..."); it is not remembered, so
// the next call tries again.
void bind();

// numpy.ndarray. Needs bind().
PyTypeObject* ndarray_type();

// True when `object` is an ndarray (or subclass) with `dims` dimensions of native float64.
bool is_float64_array(PyObject* object, int dims);

// What a float64 array offers for reading in place.
struct Layout {
    const double* data;
    std::array<std::uint64_t, 2> extents;  // the second is 1 for a 1-D array
    bool aligned;
    bool c_contiguous;
};
Layout layout_of(PyObject* array);

// New arrays that take over a kernel's buffer without copying; an owner object frees the
// buffer when the array dies. Fatal internal failure if NumPy refuses.
PyObject* float64_array(Buffer<double>&& values, std::uint64_t rows, std::uint64_t columns);
PyObject* float64_vector(Buffer<double>&& values);
PyObject* int64_vector(Buffer<std::int64_t>&& values);

}  // namespace kernels::numpy
