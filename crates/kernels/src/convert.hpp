#pragma once
// Conversion of each kind of argument into the plain value its kernel takes. Every
// `load` sets a Python exception and returns false when it refuses its object. Array
// arguments are borrowed, never copied: `check_layout`, run after every argument of the
// call is converted, refuses an array that cannot be read in place. Only then are an
// array's data, extents and flags read: a later argument's conversion runs Python code,
// which may resize, restride or retype an array converted before it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "eikonal.hpp"
#include "numpy_api.hpp"
#include "python_ref.hpp"

namespace kernels {

// A float64 array of `Dims` dimensions, read in place.
template <int Dims>
class FloatArray {
public:
    bool load(PyObject* object);
    bool check_layout(const char* parameter);

    std::span<const double> values() const { return values_; }
    std::uint64_t rows() const { return layout_.extents[0]; }
    std::uint64_t columns() const { return layout_.extents[1]; }

private:
    Ref array_;
    numpy::Layout layout_{};
    std::span<const double> values_;
};

using GridArray = FloatArray<2>;
using VectorArray = FloatArray<1>;

// A 1-D float64 array, or nothing for a missing argument or None.
class OptionalVector {
public:
    bool load(PyObject* object);
    bool check_layout(const char* parameter);
    std::optional<std::span<const double>> values() const;

private:
    std::optional<VectorArray> array_;
};

// Adds "while processing '{parameter}'" to the pending exception; if that fails, the
// exception goes on without it.
void note_parameter(const char* parameter);

struct Float {
    double value = 0;
    bool load(PyObject* object);
};

struct Count {
    std::uint64_t value = 0;
    bool load(PyObject* object);
};

struct FloatPair {
    double first = 0, second = 0;
    bool load(PyObject* object);
};

struct CountPair {
    std::uint64_t first = 0, second = 0;
    bool load(PyObject* object);
};

// The seed triples (i, j, t0_seconds) of a sequence of 3-tuples, in order.
struct SeedList {
    std::vector<SeedTriple> seeds;
    bool load(PyObject* object);
};

}  // namespace kernels
