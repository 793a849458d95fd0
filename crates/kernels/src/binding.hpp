#pragma once
// Binds the positional and keyword arguments of a vectorcall to a function's parameters,
// refusing bad calls with the interpreter's own wording.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

namespace kernels {

// What binding needs to know of a function: every parameter may be given by position or
// by keyword, and the first `required` must be given.
struct Signature {
    const char* name;
    std::span<const char* const> parameters;
    std::size_t required;
};

// Fills slots[k] with the argument for parameter k (borrowed; null when not given).
// On a binding error sets TypeError and returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace kernels
