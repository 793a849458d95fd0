// The Python module `kinematic_rupture._rows`: the smoothing of slip-rate rows and the
// moment rate they sum to, as pulses.py and moment.py compute them with NumPy, bit for bit.
//
// Arrays come through the buffer protocol and are read and written in place; the caller
// makes the outputs. The interpreter lock is released while the rows are handled. Bad
// arguments raise TypeError or ValueError (and leave the outputs untouched), memory that
// cannot be had MemoryError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "buffer_argument.hpp"
#include "rows.hpp"

namespace {

template <class T>
rows::Column<T> column(const BufferArgument& argument) {
    return {argument.bytes(), argument.size()};
}

PyObject* finish(rows::Status status, const rows::Refusal& refusal, const char* function) {
    if (status == rows::Status::OUT_OF_MEMORY) return PyErr_NoMemory();
    if (status == rows::Status::REFUSED) {
        char reason[200];
        refusal.describe(reason, sizeof reason);
        PyErr_Format(PyExc_ValueError, "%s: %s", function, reason);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* smooth_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    constexpr const char* function = "smooth_rows";
    static const char* keywords[] = {"offsets", "samples", "widths", "new_offsets", "out", nullptr};
    PyObject* objects[5];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:smooth_rows", const_cast<char**>(keywords),
                                     &objects[0], &objects[1], &objects[2], &objects[3], &objects[4])) {
        return nullptr;
    }
    BufferArgument offsets, samples, widths, new_offsets, out;
    if (!offsets.take(objects[0], function, "offsets", 'q') ||
        !samples.take(objects[1], function, "samples", 'd') ||
        !widths.take(objects[2], function, "widths", 'd') ||
        !new_offsets.take(objects[3], function, "new_offsets", 'q') ||
        !out.take(objects[4], function, "out", 'd', true)) {
        return nullptr;
    }
    rows::Refusal refusal;
    rows::Status status;
    Py_BEGIN_ALLOW_THREADS
    status = rows::smooth(column<std::int64_t>(offsets), column<double>(samples),
                          column<double>(widths), column<std::int64_t>(new_offsets),
                          column<double>(out), refusal);
    Py_END_ALLOW_THREADS
    return finish(status, refusal, function);
}

PyObject* add_moment_rate(PyObject*, PyObject* args, PyObject* kwargs) {
    constexpr const char* function = "add_moment_rate";
    static const char* keywords[] = {"start", "offsets", "samples", "weight", "rate",
                                     "block_samples", nullptr};
    PyObject* objects[5];
    long long block_samples;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOL:add_moment_rate",
                                     const_cast<char**>(keywords), &objects[0], &objects[1],
                                     &objects[2], &objects[3], &objects[4], &block_samples)) {
        return nullptr;
    }
    BufferArgument start, offsets, samples, weight, rate;
    if (!start.take(objects[0], function, "start", 'd') ||
        !offsets.take(objects[1], function, "offsets", 'q') ||
        !samples.take(objects[2], function, "samples", 'd') ||
        !weight.take(objects[3], function, "weight", 'd') ||
        !rate.take(objects[4], function, "rate", 'd', true)) {
        return nullptr;
    }
    if (start.size() + 1 != offsets.size() || weight.size() + 1 != offsets.size()) {
        PyErr_Format(PyExc_ValueError, "%s: start and weight need one value per row, one fewer than offsets",
                     function);
        return nullptr;
    }
    rows::Refusal refusal;
    rows::Status status;
    Py_BEGIN_ALLOW_THREADS
    status = rows::moment_rate(column<double>(start), column<std::int64_t>(offsets),
                               column<double>(samples), column<double>(weight),
                               column<double>(rate), block_samples, refusal);
    Py_END_ALLOW_THREADS
    return finish(status, refusal, function);
}

PyDoc_STRVAR(SMOOTH_ROWS_DOC,
             "smooth_rows(offsets, samples, widths, new_offsets, out)\n--\n\n"
             "Writes into out (float64, new_offsets[-1] values) the CSR rows (offsets, int64 from\n"
             "0; samples, float64) each convolved with a boxcar of widths[k] samples (float64, at\n"
             "least 1, not necessarily whole) of unit area, as pulses.smooth_rows does.\n"
             "new_offsets must be offsets plus the taps the widths add before each row,\n"
             "ceil(width) - 1. Raises ValueError, leaving out untouched, if they do not fit.");

PyDoc_STRVAR(ADD_MOMENT_RATE_DOC,
             "add_moment_rate(start, offsets, samples, weight, rate, block_samples)\n--\n\n"
             "Adds to rate (float64) the moment rate of CSR rows whose sample m lies at grid time\n"
             "start[k] + m with weight[k], as moment.moment_rate does with blocks of\n"
             "block_samples samples. Raises ValueError, leaving rate untouched, if a row falls\n"
             "outside the grid.");

PyMethodDef functions[] = {
    {"smooth_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(smooth_rows)),
     METH_VARARGS | METH_KEYWORDS, SMOOTH_ROWS_DOC},
    {"add_moment_rate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(add_moment_rate)),
     METH_VARARGS | METH_KEYWORDS, ADD_MOMENT_RATE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030D0000
    // Calls share no mutable state.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_rows", "Slip-rate rows smoothed and summed, in C++.", 0, functions, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__rows(void) { return PyModuleDef_Init(&definition); }
