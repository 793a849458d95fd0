// The Python module `kinematic_rupture._greens`: the spectra of a layered half-space's
// Green's functions (greens.hpp), for greens.py, which chooses the sampling, makes the
// Bessel tables and turns the spectra into seismograms.
//
// Arrays come through the buffer protocol and are read and written in place; the caller
// makes the output. The interpreter lock is released while the spectra are computed. Bad
// arguments raise TypeError or ValueError (and leave the output untouched), memory that
// cannot be had MemoryError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "buffer_argument.hpp"
#include "greens.hpp"

#include <complex>
#include <cstdint>

namespace {

std::span<const double> doubles(const BufferArgument& argument) {
    return {reinterpret_cast<const double*>(argument.bytes()), argument.size()};
}

// The module reads the arrays as doubles in place, so they must be aligned as doubles
// (NumPy's own arrays always are).
bool aligned(const BufferArgument& argument, const char* name) {
    if (reinterpret_cast<std::uintptr_t>(argument.bytes()) % alignof(double) == 0) return true;
    PyErr_Format(PyExc_ValueError, "spectra: %s must be aligned to 8 bytes", name);
    return false;
}

// True when the output shares memory with an input, which the sum would read as it writes.
bool overlaps(const BufferArgument& out, const BufferArgument& input) {
    const unsigned char* a = out.bytes();
    const unsigned char* b = input.bytes();
    return a < b + input.size() * sizeof(double) && b < a + out.size() * sizeof(double);
}

PyObject* spectra(PyObject*, PyObject* args, PyObject* kwargs) {
    constexpr const char* function = "spectra";
    static const char* keywords[] = {"top_km", "vp_km_s", "vs_km_s", "rho_g_cm3", "qp", "qs",
                                     "reference_frequency_hz", "receiver_depth_km", "source_depth_km",
                                     "distance_km", "frequency_step_hz", "first_frequency",
                                     "damping_per_s", "wavenumber_step_per_km", "wavenumber_count",
                                     "j0", "j1", "out", nullptr};
    PyObject* objects[13];
    double reference_frequency_hz, receiver_depth_km, frequency_step_hz, damping_per_s, wavenumber_step;
    Py_ssize_t first_frequency;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "OOOOOOddOOdnddOOOO:spectra", const_cast<char**>(keywords), &objects[0],
            &objects[1], &objects[2], &objects[3], &objects[4], &objects[5], &reference_frequency_hz,
            &receiver_depth_km, &objects[6], &objects[7], &frequency_step_hz, &first_frequency,
            &damping_per_s, &wavenumber_step, &objects[8], &objects[9], &objects[10], &objects[11])) {
        return nullptr;
    }
    if (first_frequency < 0) {
        PyErr_Format(PyExc_ValueError, "%s: first_frequency must be 0 or more", function);
        return nullptr;
    }
    BufferArgument top, vp, vs, rho, qp, qs, sources, distances, counts, j0, j1, out;
    const char* names[] = {"top_km", "vp_km_s", "vs_km_s", "rho_g_cm3", "qp", "qs", "source_depth_km",
                           "distance_km"};
    BufferArgument* inputs[] = {&top, &vp, &vs, &rho, &qp, &qs, &sources, &distances};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!inputs[i]->take(objects[i], function, names[i], 'd') || !aligned(*inputs[i], names[i])) return nullptr;
    }
    if (!counts.take(objects[8], function, "wavenumber_count", 'q') || !aligned(counts, "wavenumber_count") ||
        !j0.take(objects[9], function, "j0", 'd') || !aligned(j0, "j0") ||
        !j1.take(objects[10], function, "j1", 'd') || !aligned(j1, "j1") ||
        !out.take(objects[11], function, "out", 'd', true) || !aligned(out, "out")) {
        return nullptr;
    }
    for (const BufferArgument* input : {&top, &vp, &vs, &rho, &qp, &qs, &sources, &distances, &counts, &j0, &j1}) {
        if (input->size() > 0 && out.size() > 0 && overlaps(out, *input)) {
            PyErr_Format(PyExc_ValueError, "%s: out must not share memory with an input", function);
            return nullptr;
        }
    }
    if (out.size() % 2 != 0) {
        PyErr_Format(PyExc_ValueError, "%s: out must hold complex values as pairs of doubles", function);
        return nullptr;
    }
    const greens::Model model{doubles(top), doubles(vp), doubles(vs), doubles(rho), doubles(qp), doubles(qs),
                              reference_frequency_hz};
    const greens::Geometry geometry{receiver_depth_km, doubles(sources), doubles(distances)};
    const std::size_t source_count = sources.size();
    const std::span<const std::int64_t> count_values{reinterpret_cast<const std::int64_t*>(counts.bytes()),
                                                     counts.size()};
    const greens::Sampling sampling{frequency_step_hz,
                                    static_cast<std::size_t>(first_frequency),
                                    source_count == 0 ? 0 : counts.size() / source_count,
                                    damping_per_s,
                                    wavenumber_step,
                                    count_values,
                                    doubles(j0),
                                    doubles(j1)};
    const std::span<std::complex<double>> values{reinterpret_cast<std::complex<double>*>(out.bytes()),
                                                 out.size() / 2};
    greens::Refusal refusal;
    greens::Status status;
    Py_BEGIN_ALLOW_THREADS
    status = greens::spectra(model, geometry, sampling, values, refusal);
    Py_END_ALLOW_THREADS
    if (status == greens::Status::OUT_OF_MEMORY) return PyErr_NoMemory();
    if (status == greens::Status::REFUSED) {
        PyErr_Format(PyExc_ValueError, "%s: %s", function, refusal.reason);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyDoc_STRVAR(SPECTRA_DOC,
             "spectra(top_km, vp_km_s, vs_km_s, rho_g_cm3, qp, qs, reference_frequency_hz,\n"
             "        receiver_depth_km, source_depth_km, distance_km, frequency_step_hz,\n"
             "        first_frequency, damping_per_s, wavenumber_step_per_km, wavenumber_count,\n"
             "        j0, j1, out)\n--\n\n"
             "Writes into out (complex128 as float64 pairs, [source][distance][10][frequency]) the\n"
             "spectra of the ten fundamental displacement responses of a layered half-space, in m\n"
             "per N m per Hz, at frequencies (first_frequency + n) * frequency_step_hz plus\n"
             "i damping_per_s, by a discrete wavenumber sum of wavenumber_count[source, n] terms\n"
             "(k_m = (m + 1/2) wavenumber_step_per_km) with j0, j1 = J0, J1(k_m r) as [m][distance].\n"
             "Raises ValueError, leaving out untouched, if the arguments do not fit together.");

PyMethodDef functions[] = {
    {"spectra", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spectra)),
     METH_VARARGS | METH_KEYWORDS, SPECTRA_DOC},
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
    PyModuleDef_HEAD_INIT, "_greens", "Green's functions of a layered half-space, in C++.", 0, functions, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__greens(void) { return PyModuleDef_Init(&definition); }
