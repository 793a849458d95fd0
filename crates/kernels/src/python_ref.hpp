#pragma once
// Small owners for interpreter objects, so that every path out of a function releases
// what it took.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace kernels {

// A strong reference, released when the Ref dies. Needs the interpreter lock throughout.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// The exception currently set in the interpreter, taken out of it (normalised) for as long
// as this object lives; restore() puts it back.
class PendingError {
public:
    PendingError();
    ~PendingError() = default;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    PyObject* exception() const noexcept { return exception_.get(); }
    // "Type: message", for reports; the pending error is dropped.
    std::string describe() const;
    void restore();

private:
    Ref exception_;
};

// Ends the call after the interpreter (or NumPy) refused to make an object the call needs:
// with MemoryError when it ran out of memory, and otherwise with the fatal internal
// failure `invariant`. The pending exception is taken either way.
[[noreturn]] void interpreter_refused(const char* invariant);

}  // namespace kernels
