#include "binding.hpp"

#include <string>

namespace kernels {

namespace {

[[gnu::cold]] bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t count = signature.parameters.size();
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     signature.name, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.name, signature.required, count, given, verb);
    }
    return false;
}

// The `missing` empty required parameters: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const Signature& signature, std::span<PyObject*> slots,
                        std::size_t missing) {
    std::string list;
    std::size_t listed = 0;
    for (std::size_t k = 0; k < signature.required; ++k) {
        if (slots[k] != nullptr) continue;
        if (listed > 0) list += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
        list += std::string("'") + signature.parameters[k] + "'";
        ++listed;
    }
    return list;
}

[[gnu::cold]] bool missing_required(const Signature& signature, std::span<PyObject*> slots) {
    std::size_t missing = 0;
    for (std::size_t k = 0; k < signature.required; ++k) missing += slots[k] == nullptr;
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", signature.name,
                 missing, missing == 1 ? "argument" : "arguments",
                 quoted_list(signature, slots, missing).c_str());
    return false;
}

// The parameter that `keyword` names exactly, or the count of parameters for none.
std::size_t parameter_named(const Signature& signature, PyObject* keyword) {
    for (std::size_t k = 0; k < signature.parameters.size(); ++k) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[k]) == 0) return k;
    }
    return signature.parameters.size();
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t count = signature.parameters.size();
    if (static_cast<std::size_t>(nargs) > count) return too_many_positional(signature, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) slots[k] = args[k];

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t slot = parameter_named(signature, keyword);
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.name, keyword);
            return false;
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         signature.name, keyword);
            return false;
        }
        slots[slot] = args[nargs + k];
    }

    for (std::size_t k = 0; k < signature.required; ++k) {
        if (slots[k] == nullptr) return missing_required(signature, slots);
    }
    return true;
}

}  // namespace kernels
