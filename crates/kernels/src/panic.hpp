#pragma once
// How a fatal internal failure reaches Python: a report on standard error, then
// PanicException, which derives from BaseException so that `except Exception` lets it
// through.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "fatal.hpp"

namespace kernels {

// Writes the report and sets PanicException(message). Always returns null, for
// `return raise_panic(failure);` at the boundary of a Python call.
PyObject* raise_panic(const FatalError& failure);

}  // namespace kernels
