#include "python_ref.hpp"

#include <new>

#include "fatal.hpp"

namespace kernels {

PendingError::PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
    exception_ = Ref(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    exception_ = Ref(value);
#endif
}

std::string PendingError::describe() const {
    if (!exception_) return "no exception was set";
    std::string text = Py_TYPE(exception_.get())->tp_name;
    Ref message(PyObject_Str(exception_.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return text;
    }
    if (*utf8) text += std::string(": ") + utf8;
    return text;
}

void PendingError::restore() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.release());
#else
    PyObject* value = exception_.release();
    if (!value) return;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

void interpreter_refused(const char* invariant) {
    const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
    PyErr_Clear();
    if (out_of_memory) throw std::bad_alloc();
    fatal(invariant);
}

}  // namespace kernels
