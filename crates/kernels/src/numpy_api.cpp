#include "numpy_api.hpp"

// NumPy 2 headers, built for any NumPy from 1.15 on: the API table is looked up at run
// time, and only what NumPy 1.15 already offered is used.
#define PY_ARRAY_UNIQUE_SYMBOL kernels_ARRAY_API
#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#include <numpy/arrayobject.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "fatal.hpp"
#include "python_ref.hpp"

// The API table the NumPy macros read, set once the running NumPy has passed its checks.
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace kernels::numpy {

namespace {

constexpr unsigned int NEWEST_ABI = 0x2000000;  // NumPy 2.0's
constexpr unsigned int OLDEST_FEATURES = 11;    // must exceed this: NumPy 1.15 is 12

std::atomic<bool> bound{false};
std::mutex publishing;

[[noreturn, gnu::cold]] void binding_failed(const std::string& reason) {
    fatal("Failed to access NumPy array API capsule: " + reason);
}

// Takes the pending Python exception and describes it as "Type: message".
std::string take_pending_error() {
    PendingError error;
    return error.describe();
}

Ref attribute(PyObject* object, const char* name) {
    Ref value(PyObject_GetAttrString(object, name));
    if (!value) binding_failed(take_pending_error());
    return value;
}

Ref import(const char* name) {
    Ref module(PyImport_ImportModule(name));
    if (!module) binding_failed(take_pending_error());
    return module;
}

long numpy_major_version() {
    Ref numpy = import("numpy");
    Ref version = attribute(numpy.get(), "__version__");
    Ref lib = attribute(numpy.get(), "lib");
    Ref parser = attribute(lib.get(), "NumpyVersion");
    Ref parsed(PyObject_CallOneArg(parser.get(), version.get()));
    if (!parsed) binding_failed(take_pending_error());
    Ref major = attribute(parsed.get(), "major");
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) binding_failed(take_pending_error());
    return value;
}

void** api_table() {
    Ref multiarray =
        import(numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    Ref capsule = attribute(multiarray.get(), "_ARRAY_API");
    if (!PyCapsule_CheckExact(capsule.get())) binding_failed("_ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) binding_failed(take_pending_error());
    return static_cast<void**>(table);
}

// Checks the running NumPy through `table` and publishes it. Plain C calls only, so the
// lock is never held across anything that could wait for the interpreter.
void publish(void** table) {
    std::lock_guard lock(publishing);
    if (bound.load(std::memory_order_relaxed)) return;
    PyArray_API = table;
    char refusal[160] = "";
    if (PyArray_GetNDArrayCVersion() > NEWEST_ABI) {
        std::snprintf(refusal, sizeof refusal,
                      "module compiled against ABI version %#x but this version of numpy is %#x",
                      NEWEST_ABI, PyArray_GetNDArrayCVersion());
    } else if (PyArray_GetNDArrayCFeatureVersion() <= OLDEST_FEATURES) {
        std::snprintf(refusal, sizeof refusal,
                      "module needs NumPy's C API version 12 (NumPy 1.15) or newer, "
                      "but this version of numpy offers %u",
                      PyArray_GetNDArrayCFeatureVersion());
    } else if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        std::snprintf(refusal, sizeof refusal, "module compiled as little endian, but numpy runs big endian");
    }
    if (refusal[0] != '\0') {
        PyArray_API = nullptr;
        binding_failed(refusal);
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    bound.store(true, std::memory_order_release);
}

extern "C" void free_owned_buffer(PyObject* owner) {
    std::free(PyCapsule_GetPointer(owner, "_kernels.buffer"));
}

template <class T>
PyObject* take_over(Buffer<T>&& buffer, int type, int dims, npy_intp* extents, npy_intp* strides) {
    Ref owner(PyCapsule_New(buffer.data(), "_kernels.buffer", free_owned_buffer));
    if (!owner) interpreter_refused("Failed to create slice container");
    T* data = buffer.release();
    PyArray_Descr* descr = PyArray_DescrFromType(type);
    if (!descr) interpreter_refused("NumPy has no descriptor for a result array");
    Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, dims, extents, strides, data,
                                   NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) interpreter_refused("NumPy refused to create a result array");
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
        interpreter_refused("NumPy refused the owner of a result array");
    }
    return array.release();
}

}  // namespace

void bind() {
    if (bound.load(std::memory_order_acquire)) return;
    publish(api_table());
}

PyTypeObject* ndarray_type() { return &PyArray_Type; }

bool is_float64_array(PyObject* object, int dims) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != dims) return false;
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    const bool same = PyArray_DESCR(array) == float64 || PyArray_EquivTypes(PyArray_DESCR(array), float64);
    Py_DECREF(float64);
    return same;
}

Layout layout_of(PyObject* object) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const npy_intp* extents = PyArray_DIMS(array);
    const int flags = PyArray_FLAGS(array);
    return Layout{
        static_cast<const double*>(PyArray_DATA(array)),
        {static_cast<std::uint64_t>(extents[0]),
         PyArray_NDIM(array) == 2 ? static_cast<std::uint64_t>(extents[1]) : 1},
        (flags & NPY_ARRAY_ALIGNED) != 0,
        (flags & NPY_ARRAY_C_CONTIGUOUS) != 0,
    };
}

PyObject* float64_array(Buffer<double>&& values, std::uint64_t rows, std::uint64_t columns) {
    npy_intp extents[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
    const bool empty = rows == 0 || columns == 0;
    npy_intp strides[2] = {empty ? 0 : static_cast<npy_intp>(columns * sizeof(double)),
                           empty ? 0 : static_cast<npy_intp>(sizeof(double))};
    return take_over(std::move(values), NPY_DOUBLE, 2, extents, strides);
}

PyObject* float64_vector(Buffer<double>&& values) {
    npy_intp extent = static_cast<npy_intp>(values.size());
    npy_intp stride = sizeof(double);
    return take_over(std::move(values), NPY_DOUBLE, 1, &extent, &stride);
}

PyObject* int64_vector(Buffer<std::int64_t>&& values) {
    npy_intp extent = static_cast<npy_intp>(values.size());
    npy_intp stride = sizeof(std::int64_t);
    return take_over(std::move(values), NPY_LONGLONG, 1, &extent, &stride);
}

}  // namespace kernels::numpy
