#include "panic.hpp"

#include <atomic>

namespace kernels {

namespace {

constexpr const char* PANIC_DOC =
    "Raised when native code called from Python fails fatally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it will\n"
    "typically propagate all the way through the stack and end the interpreter.";

// Made at the first fatal failure of the process and kept. Two threads may race to make
// it: both build one, the first to publish wins, and the other drops its own.
PyObject* panic_exception() {
    static std::atomic<PyObject*> published{nullptr};
    if (PyObject* existing = published.load(std::memory_order_acquire)) return existing;
    PyObject* made =
        PyErr_NewExceptionWithDoc("_kernels.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!published.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

}  // namespace

PyObject* raise_panic(const FatalError& failure) {
    const auto& where = failure.where();
    PySys_FormatStderr("_kernels: fatal internal failure at %s:%u:%u in %s:\n%s\n",
                       where.file_name(), static_cast<unsigned>(where.line()),
                       static_cast<unsigned>(where.column()), where.function_name(),
                       failure.message().c_str());
    PyObject* type = panic_exception();
    if (type) PyErr_SetString(type, failure.message().c_str());
    return nullptr;
}

}  // namespace kernels
