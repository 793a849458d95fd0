#pragma once
// A one-dimensional array argument of a compiled module's function, taken through the
// buffer protocol and read (or written) in place: the modeller's small modules share it.
// Refusals raise TypeError or ValueError naming the function and the argument; the
// buffer is released with the object, on every path.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>

class BufferArgument {
public:
    BufferArgument() = default;
    BufferArgument(const BufferArgument&) = delete;
    BufferArgument& operator=(const BufferArgument&) = delete;
    ~BufferArgument() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Takes `object`, argument `name` of `function`, as a contiguous one-dimensional array
    // of 8-byte items of `kind` ('d' float64, 'q' int64), writable if `writable`. False
    // with TypeError or ValueError set if it is not one.
    bool take(PyObject* object, const char* function, const char* name, char kind,
              bool writable = false) {
        if (!PyObject_CheckBuffer(object)) {
            PyErr_Format(PyExc_TypeError, "%s: %s must be a one-dimensional %s array, not %.200s",
                         function, name, kind == 'q' ? "int64" : "float64", Py_TYPE(object)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) return false;
        held_ = true;
        if (writable && view_.readonly) {
            PyErr_Format(PyExc_ValueError, "%s: %s must be writable", function, name);
            return false;
        }
        if (view_.itemsize != 8 || !is_native(view_.format, kind)) {
            PyErr_Format(PyExc_TypeError, "%s: %s must be %s array, not one of items '%.20s' of %zd bytes",
                         function, name, kind == 'q' ? "an int64" : "a float64",
                         view_.format ? view_.format : "B", view_.itemsize);
            return false;
        }
        if (view_.ndim != 1) {
            PyErr_Format(PyExc_ValueError, "%s: %s must be one-dimensional, not %d-dimensional", function,
                         name, view_.ndim);
            return false;
        }
        if (view_.strides && view_.shape[0] > 1 && view_.strides[0] != 8) {
            PyErr_Format(PyExc_ValueError, "%s: %s must be contiguous, not strided by %zd bytes", function,
                         name, view_.strides[0]);
            return false;
        }
        return true;
    }

    unsigned char* bytes() const { return static_cast<unsigned char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.shape[0]); }

private:
    // True when a buffer's struct format is `kind` in the machine's byte order, an 8-byte
    // item being given (int64 reads as 'l' or 'q').
    static bool is_native(const char* format, char kind) {
        if (!format) format = "B";
        if (*format == '@' || *format == '=' || (*format == '<' && PY_LITTLE_ENDIAN)) ++format;
        if (kind == 'q') return std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0;
        return format[0] == kind && format[1] == '\0';
    }

    Py_buffer view_{};
    bool held_ = false;
};
