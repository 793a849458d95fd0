// The Python module `kinematic_rupture._srf`: one function, format_points, which writes a
// block of SRF points as text, as srf.py's reference writer does.
//
// Arrays come through the buffer protocol and are read in place; the interpreter lock is
// released while the text is written. Bad arguments raise TypeError or ValueError, memory
// that cannot be had MemoryError, and everything the call holds is released on every
// path.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstring>

#include "buffer_argument.hpp"
#include "points.hpp"

namespace {

constexpr const char* FUNCTION = "format_points";

bool finite(double value, const char* name) {
    if (std::isfinite(value)) return true;
    PyErr_Format(PyExc_ValueError, "%s: %s is %s: an SRF file holds finite numbers only", FUNCTION,
                 name, std::isnan(value) ? "nan" : value < 0 ? "-inf" : "inf");
    return false;
}

PyObject* format_points(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"lon",    "lat",  "depth",   "strike",  "dip",
                                     "tinit",  "vs",   "density", "rake",    "slip",
                                     "offsets", "samples", "area", "dt", "version", nullptr};
    PyObject* objects[srf::FIELDS];
    PyObject* offsets_object;
    PyObject* samples_object;
    srf::Block block{};
    const char* version;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "OOOOOOOOOOOOdds:format_points", const_cast<char**>(keywords),
            &objects[0], &objects[1], &objects[2], &objects[3], &objects[4], &objects[5],
            &objects[6], &objects[7], &objects[8], &objects[9], &offsets_object, &samples_object,
            &block.area_cm2, &block.dt_s, &version)) {
        return nullptr;
    }
    if (std::strcmp(version, "1.0") == 0) {
        block.version = srf::Version::one;
    } else if (std::strcmp(version, "2.0") == 0) {
        block.version = srf::Version::two;
    } else {
        PyErr_Format(PyExc_ValueError, "%s: version must be '1.0' or '2.0', not '%.40s'", FUNCTION,
                     version);
        return nullptr;
    }
    if (!finite(block.area_cm2, "area") || !finite(block.dt_s, "dt")) return nullptr;

    BufferArgument fields[srf::FIELDS];
    BufferArgument offsets;
    BufferArgument samples;
    for (int f = 0; f < srf::FIELDS; ++f) {
        if (!fields[f].take(objects[f], FUNCTION, srf::FIELD_NAMES[f], 'd')) return nullptr;
        if (fields[f].size() != fields[0].size()) {
            PyErr_Format(PyExc_ValueError, "%s: %s has %zu values and lon %zu: every column has one value per point",
                         FUNCTION, srf::FIELD_NAMES[f], fields[f].size(), fields[0].size());
            return nullptr;
        }
        block.fields[f] = {fields[f].bytes(), fields[f].size()};
    }
    if (!offsets.take(offsets_object, FUNCTION, "offsets", 'q') ||
        !samples.take(samples_object, FUNCTION, "samples", 'd')) {
        return nullptr;
    }
    const std::size_t points = fields[0].size();
    if (offsets.size() != points + 1) {
        PyErr_Format(PyExc_ValueError, "%s: offsets has %zu values: it needs one more than the %zu points",
                     FUNCTION, offsets.size(), points);
        return nullptr;
    }
    block.offsets = {offsets.bytes(), offsets.size()};
    block.samples = {samples.bytes(), samples.size()};
    // Offsets that end below where they start decrease somewhere: the writer refuses them,
    // naming the point, before it reads a sample.
    const std::int64_t first = block.offsets[0];
    const std::int64_t last = block.offsets[points];
    const std::uint64_t span = static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first);
    if (last >= first && span != samples.size()) {
        PyErr_Format(PyExc_ValueError, "%s: offsets[%zu] - offsets[0] is %llu, but samples has %zu values",
                     FUNCTION, points, static_cast<unsigned long long>(span), samples.size());
        return nullptr;
    }

    srf::Text text;
    srf::Refusal refusal;
    srf::Status status;
    Py_BEGIN_ALLOW_THREADS
    status = srf::write_block(block, text, refusal);
    Py_END_ALLOW_THREADS
    if (status == srf::Status::OUT_OF_MEMORY) return PyErr_NoMemory();
    if (status == srf::Status::REFUSED) {
        char reason[300];
        srf::describe(refusal, samples.size(), reason, sizeof reason);
        PyErr_Format(PyExc_ValueError, "%s: %s", FUNCTION, reason);
        return nullptr;
    }
    // Bytes, not str: they go to the file's binary layer as they are, with no encoding pass.
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyDoc_STRVAR(FORMAT_POINTS_DOC,
             "format_points(lon, lat, depth, strike, dip, tinit, vs, density, rake, slip, offsets, "
             "samples, area, dt, version)\n--\n\n"
             "The text of a block of SRF points, as ASCII bytes: what srf.py's reference writer\n"
             "gives, encoded.\n\n"
             "Columns are one-dimensional float64 arrays of one value per point, in the file's\n"
             "units (slip in cm); offsets is int64, one more than the points, and point k's\n"
             "slip-rate samples (cm/s) are samples[offsets[k] - offsets[0]:offsets[k + 1] - offsets[0]].\n"
             "area (cm^2) and dt (s) are the same for every point; version is '1.0' (no vs and\n"
             "density in the text) or '2.0'. Raises ValueError for a value that is not finite or\n"
             "offsets that decrease.");

PyMethodDef functions[] = {
    {FUNCTION, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(format_points)),
     METH_VARARGS | METH_KEYWORDS, FORMAT_POINTS_DOC},
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
    PyModuleDef_HEAD_INIT, "_srf", "SRF points as text, written in C++.", 0, functions, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__srf(void) { return PyModuleDef_Init(&definition); }
