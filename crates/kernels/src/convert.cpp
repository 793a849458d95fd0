#include "convert.hpp"

#include <cstddef>
#include <new>
#include <string>

#include "fatal.hpp"
#include "numpy_api.hpp"

namespace kernels {

namespace {

// "'float' object is not an instance of 'tuple'"; None is written bare.
[[gnu::cold]] bool not_instance(PyObject* object, const char* expected) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return false;
    }
    Ref name(PyType_GetQualName(Py_TYPE(object)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    }
    return false;
}

[[gnu::cold]] bool not_an_ndarray(PyObject* object) {
    Ref name(PyType_GetQualName(numpy::ndarray_type()));
    const char* expected = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!expected) return false;
    return not_instance(object, expected);
}

[[gnu::cold]] bool wrong_tuple_length(Py_ssize_t expected, Py_ssize_t length) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                 expected, length);
    return false;
}

bool load_float(PyObject* object, double& value) {
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double converted = PyFloat_AsDouble(object);
    if (converted == -1.0 && PyErr_Occurred()) return false;
    value = converted;
    return true;
}

bool load_count(PyObject* object, std::uint64_t& value) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = Ref(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(object);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    value = converted;
    return true;
}

// Items of a tuple of exactly `length` items, refusing any other object.
PyObject* const* tuple_items(PyObject* object, Py_ssize_t length) {
    if (!PyTuple_Check(object)) {
        not_instance(object, "tuple");
        return nullptr;
    }
    if (PyTuple_GET_SIZE(object) != length) {
        wrong_tuple_length(length, PyTuple_GET_SIZE(object));
        return nullptr;
    }
    return &PyTuple_GET_ITEM(object, 0);
}

bool load_seed(PyObject* object, SeedTriple& seed) {
    PyObject* const* items = tuple_items(object, 3);
    return items && load_count(items[0], seed.i) && load_count(items[1], seed.j) &&
           load_float(items[2], seed.t0_seconds);
}

// 1 with the next item, 0 at the end, -1 with an exception set.
int next_item(PyObject* iterator, Ref& item) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* next = nullptr;
    const int status = PyIter_NextItem(iterator, &next);
    item = Ref(next);
    return status;
#else
    item = Ref(PyIter_Next(iterator));
    if (item) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace

void note_parameter(const char* parameter) {
    PendingError error;
    // The method's name interned, as the interpreter's own attribute names are: a fresh
    // string per failure would take a fresh slot in the interpreter's method cache.
    Ref method(PyUnicode_InternFromString("add_note"));
    Ref note(method ? PyUnicode_FromFormat("while processing '%s'", parameter) : nullptr);
    Ref added(note ? PyObject_CallMethodOneArg(error.exception(), method.get(), note.get()) : nullptr);
    if (!added) PyErr_Clear();
    error.restore();
}

template <int Dims>
bool FloatArray<Dims>::load(PyObject* object) {
    numpy::bind();
    if (!numpy::is_float64_array(object, Dims)) return not_an_ndarray(object);
    array_ = Ref(Py_NewRef(object));
    return true;
}

template <int Dims>
bool FloatArray<Dims>::check_layout(const char* parameter) {
    // Still the array it was at its conversion? Python code run since may have changed
    // its dimensions or element type in place.
    if (!numpy::is_float64_array(array_.get(), Dims)) {
        not_an_ndarray(array_.get());
        note_parameter(parameter);
        return false;
    }
    layout_ = numpy::layout_of(array_.get());
    const std::uint64_t count = layout_.extents[0] * layout_.extents[1];
    if (count == 0) return true;
    if (!layout_.aligned || !layout_.c_contiguous || layout_.data == nullptr) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
        return false;
    }
    values_ = {layout_.data, count};
    return true;
}

template class FloatArray<1>;
template class FloatArray<2>;

bool OptionalVector::load(PyObject* object) {
    if (object == nullptr || object == Py_None) return true;
    return array_.emplace().load(object);
}

bool OptionalVector::check_layout(const char* parameter) {
    return !array_ || array_->check_layout(parameter);
}

std::optional<std::span<const double>> OptionalVector::values() const {
    if (!array_) return std::nullopt;
    return array_->values();
}

bool Float::load(PyObject* object) { return load_float(object, value); }

bool Count::load(PyObject* object) { return load_count(object, value); }

bool FloatPair::load(PyObject* object) {
    PyObject* const* items = tuple_items(object, 2);
    return items && load_float(items[0], first) && load_float(items[1], second);
}

bool CountPair::load(PyObject* object) {
    PyObject* const* items = tuple_items(object, 2);
    return items && load_count(items[0], first) && load_count(items[1], second);
}

bool SeedList::load(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) return not_instance(object, "Sequence");
    // The length only sizes the list: a sequence that cannot tell, or that claims more
    // items than memory can hold room for, is read all the same.
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
    } else {
        if (static_cast<std::size_t>(length) > PTRDIFF_MAX / sizeof(SeedTriple)) {
            fatal("capacity overflow");
        }
        try {
            seeds.reserve(static_cast<std::size_t>(length));
        } catch (const std::bad_alloc&) {
        }
    }
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (;;) {
        Ref item;
        const int status = next_item(iterator.get(), item);
        if (status < 0) return false;
        if (status == 0) return true;
        SeedTriple seed;
        if (!load_seed(item.get(), seed)) return false;
        seeds.push_back(seed);
    }
}

}  // namespace kernels
