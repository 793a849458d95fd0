// The Python module `_kernels`: its definition, and the one call frame that runs each of
// its three functions around a kernel.
//
// A call binds its arguments, converts them in parameter order, checks that every array
// can be read in place, releases the interpreter lock while the kernel runs, takes it
// back, and then raises the kernel's failure as ValueError or wraps its result buffers
// as NumPy arrays without copying. A broken invariant anywhere surfaces as
// PanicException, and memory that cannot be obtained as MemoryError; either way
// everything the call holds is released.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

#include <cstdint>
#include <exception>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

#include "binding.hpp"
#include "convert.hpp"
#include "eikonal.hpp"
#include "field.hpp"
#include "format.hpp"
#include "numpy_api.hpp"
#include "panic.hpp"
#include "pulse.hpp"
#include "python_ref.hpp"

namespace kernels {

namespace {

// ---- Results -------------------------------------------------------------------------

PyObject* pair_of(Ref first, Ref second) {
    PyObject* pair = PyTuple_New(2);
    if (!pair) interpreter_refused("Failed to create a result tuple");
    PyTuple_SET_ITEM(pair, 0, first.release());
    PyTuple_SET_ITEM(pair, 1, second.release());
    return pair;
}

PyObject* fault_grid(Buffer<double>&& values, std::uint64_t rows, std::uint64_t columns) {
    if (values.size() != rows * columns) {
        fatal("the draw returns one value per fault cell: " + format_count(values.size()) +
              " values for a " + format_count(rows) + "x" + format_count(columns) + " fault");
    }
    return numpy::float64_array(std::move(values), rows, columns);
}

// ---- The three functions -------------------------------------------------------------

struct EikonalSolve {
    static constexpr const char* parameters[] = {"slowness", "spacing_km", "seeds"};
    static constexpr Signature signature{"eikonal_solve", parameters, 3};
    using Arguments = std::tuple<GridArray, FloatPair, SeedList>;

    static auto run(const GridArray& slowness, const FloatPair& spacing, const SeedList& seeds) {
        return solve_eikonal(slowness.values(), slowness.rows(), slowness.columns(), spacing.first,
                             spacing.second, seeds.seeds);
    }

    static PyObject* result(Buffer<double>&& times, const GridArray& slowness, const FloatPair&,
                            const SeedList&) {
        const std::uint64_t cells = slowness.rows() * slowness.columns();
        if (times.size() != cells) {
            fatal("the solver returns one time per input cell: " + format_count(times.size()) +
                  " times for " + format_count(cells) + " cells");
        }
        return numpy::float64_array(std::move(times), slowness.rows(), slowness.columns());
    }
};

struct SynthesisePulses {
    static constexpr const char* parameters[] = {"slip_m", "rise_time_s", "dt_s", "beta"};
    static constexpr Signature signature{"synthesise_pulses", parameters, 3};
    using Arguments = std::tuple<VectorArray, VectorArray, Float, OptionalVector>;

    static auto run(const VectorArray& slip, const VectorArray& rise, const Float& dt,
                    const OptionalVector& beta) {
        return sample_pulses(slip.values(), rise.values(), beta.values(), dt.value);
    }

    static PyObject* result(CsrRows&& rows, const VectorArray&, const VectorArray&, const Float&,
                            const OptionalVector&) {
        auto offsets = Buffer<std::int64_t>::uninitialised(rows.offsets.size());
        for (std::size_t k = 0; k < rows.offsets.size(); ++k) {
            if (rows.offsets[k] > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                fatal("sample counts fit in i64: offset " + format_count(rows.offsets[k]) +
                      " is out of range");
            }
            offsets[k] = static_cast<std::int64_t>(rows.offsets[k]);
        }
        rows.offsets = {};
        Ref offsets_array(numpy::int64_vector(std::move(offsets)));
        Ref samples_array(numpy::float64_vector(std::move(rows.samples)));
        return pair_of(std::move(offsets_array), std::move(samples_array));
    }
};

struct CirculantDraw {
    static constexpr const char* parameters[] = {"amplitudes", "padded_shape", "cell_counts", "seed"};
    static constexpr Signature signature{"circulant_draw", parameters, 4};
    using Arguments = std::tuple<GridArray, CountPair, CountPair, Count>;

    static auto run(const GridArray& amplitudes, const CountPair& padded, const CountPair& cells,
                    const Count& seed) {
        return draw_pair(amplitudes.values(), amplitudes.rows(), amplitudes.columns(), padded.first,
                         padded.second, cells.first, cells.second, seed.value);
    }

    static PyObject* result(FieldPair&& fields, const GridArray&, const CountPair&,
                            const CountPair& cells, const Count&) {
        Ref real(fault_grid(std::move(fields.real), cells.first, cells.second));
        Ref imaginary(fault_grid(std::move(fields.imaginary), cells.first, cells.second));
        return pair_of(std::move(real), std::move(imaginary));
    }
};

// ---- The call frame ------------------------------------------------------------------

template <class Argument>
bool convert(Argument& argument, PyObject* object, const char* parameter) {
    if (argument.load(object)) return true;
    note_parameter(parameter);
    return false;
}

template <class Arguments, std::size_t... K>
bool convert_all(Arguments& arguments, PyObject* const* slots,
                 std::span<const char* const> parameters, std::index_sequence<K...>) {
    return (convert(std::get<K>(arguments), slots[K], parameters[K]) && ...);
}

template <class Argument>
bool check_layout(Argument& argument, const char* parameter) {
    if constexpr (requires { argument.check_layout(parameter); }) {
        return argument.check_layout(parameter);
    } else {
        return true;
    }
}

template <class Arguments, std::size_t... K>
bool check_layouts(Arguments& arguments, std::span<const char* const> parameters,
                   std::index_sequence<K...>) {
    return (check_layout(std::get<K>(arguments), parameters[K]) && ...);
}

// Takes the interpreter lock back. Before CPython 3.14, a thread that asks for it while
// the interpreter is shutting down is ended by pthread_exit, which unwinds the thread's
// stack: through this call's destructors, without the lock, or into a noexcept frame,
// which aborts the process. Such a thread stops here instead and waits, quietly, for the
// process to end (as 3.14 makes it do).
//
// The handler catches everything rather than `abi::__forced_unwind&`: a forced unwind
// carries no exception object, so binding a reference to it binds a null pointer, which
// is undefined behaviour (UBSan reports it). PyEval_RestoreThread is C and raises no C++
// exception, so the forced unwind is the only thing that can arrive here. The runtime
// insists that a caught forced unwind be rethrown when its handler ends; this handler
// never ends.
void take_interpreter_lock(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        for (;;) pause();
    }
}

// Runs `kernel` with the interpreter lock released and takes the lock back however the
// kernel ends, then passes on its result or its exception.
template <class Kernel>
auto without_interpreter_lock(Kernel&& kernel) {
    std::optional<decltype(kernel())> outcome;
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        outcome.emplace(kernel());
    } catch (...) {
        failure = std::current_exception();
    }
    take_interpreter_lock(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*outcome);
}

[[gnu::cold]] PyObject* raise_value_error(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

template <class Function>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // At the start of every call, on whichever thread makes it, rather than at its first
    // exception, which may come because memory has run out.
    prepare_thread_for_exceptions();
    constexpr std::size_t count = std::size(Function::parameters);
    PyObject* slots[count] = {};
    if (!bind_arguments(Function::signature, args, nargs, kwnames, slots)) return nullptr;
    try {
        typename Function::Arguments arguments;
        if (!convert_all(arguments, slots, Function::parameters, std::make_index_sequence<count>())) {
            return nullptr;
        }
        if (!check_layouts(arguments, Function::parameters, std::make_index_sequence<count>())) {
            return nullptr;
        }
        auto outcome = without_interpreter_lock([&] { return std::apply(Function::run, arguments); });
        if (auto* failure = std::get_if<1>(&outcome)) return raise_value_error(message(*failure));
        return std::apply(
            [&](const auto&... each) { return Function::result(std::move(std::get<0>(outcome)), each...); },
            arguments);
    } catch (const FatalError& failure) {
        return raise_panic(failure);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        return raise_panic(FatalError(failure.what(), std::source_location::current()));
    }
}

// ---- The module ----------------------------------------------------------------------

template <class Function>
constexpr PyMethodDef method(const char* doc) {
    return {Function::signature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call<Function>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

constexpr const char* EIKONAL_SOLVE_DOC =
    "eikonal_solve(slowness, spacing_km, seeds)\n"
    "--\n"
    "\n"
    "First-arrival times over a fault chart, by factored fast sweeping.\n"
    "\n"
    "`slowness` is 2-D in s/km, `i` down-dip and `j` along-strike; `spacing_km` is\n"
    "`(d_i, d_j)`; `seeds` is a list of `(i, j, t0_seconds)`, the points the front leaves\n"
    "at known times: one triple for a hypocentre, and several for a fault triggered\n"
    "along an edge. Returns travel times in seconds, same shape as\n"
    "`slowness`. Exact on uniform media, first-order convergent on smooth ones;\n"
    "`crates/kernels/src/eikonal` has the papers.";

constexpr const char* SYNTHESISE_PULSES_DOC =
    "synthesise_pulses(slip_m, rise_time_s, dt_s, beta=None)\n"
    "--\n"
    "\n"
    "Slip-rate pulses for every subfault, as CSR rows.\n"
    "\n"
    "`slip_m` (metres) and `rise_time_s` are flat, one entry per subfault. `beta`, the\n"
    "per-subfault rising fraction in `(0, 0.5]`, selects the shape: given, the\n"
    "Liu-Archuleta-Hartzell piecewise sinusoid; absent, a single-sample impulse. Returns `(offsets, samples)`:\n"
    "subfault `k`'s pulse is `samples[offsets[k]:offsets[k+1]]` in m/s, normalised so\n"
    "`dt_s * samples.sum()` recovers the slip. An empty row is a subfault that doesn't\n"
    "slip. A rise time under half a sample slips instantaneously, as the spike\n"
    "`[0, slip/dt, 0]`, and keeps all of its slip; with `beta`, a slipping subfault's\n"
    "negative or non-finite rise time is a `ValueError` naming it.";

constexpr const char* CIRCULANT_DRAW_DOC =
    "circulant_draw(amplitudes, padded_shape, cell_counts, seed)\n"
    "--\n"
    "\n"
    "A pair of independent standard-normal fields from one circulant-embedding draw.\n"
    "\n"
    "`amplitudes` is the `(padded_i//2 + 1, padded_j//2 + 1)` quadrant of the\n"
    "square-rooted, non-negative eigenvalues of the embedding on the `padded_shape`\n"
    "grid, which the full grid mirrors. Returns `(real, imaginary)`, each cropped to\n"
    "`cell_counts` and each a field with the embedded covariance, independent of the\n"
    "other (Dietrich & Newsam 1997). The same `seed` gives the same pair.\n"
    "\n"
    "The doc on [`field`] has the details.";

// In the order of __all__.
PyMethodDef functions[] = {
    method<EikonalSolve>(EIKONAL_SOLVE_DOC),
    method<SynthesisePulses>(SYNTHESISE_PULSES_DOC),
    method<CirculantDraw>(CIRCULANT_DRAW_DOC),
};

// Adds `function` to the module and to its __all__.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef& function) {
    Ref callable(PyCMethod_New(&function, module, module_name, nullptr));
    if (!callable) return -1;
    Ref name(PyObject_GetAttrString(callable.get(), "__name__"));
    if (!name) return -1;
    PyObject* namespace_ = PyModule_GetDict(module);
    PyObject* all = PyDict_GetItemString(namespace_, "__all__");
    Ref created;
    if (!all) {
        created = Ref(PyList_New(0));
        if (!created || PyDict_SetItemString(namespace_, "__all__", created.get()) < 0) return -1;
        all = created.get();
    }
    if (PyList_Append(all, name.get()) < 0) return -1;
    return PyObject_SetAttr(module, name.get(), callable.get());
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& function : functions) {
        if (add_function(module, module_name.get(), function) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Nothing here relies on the global interpreter lock: calls share no mutable state.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_kernels",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kernels

PyMODINIT_FUNC PyInit__kernels(void) { return PyModuleDef_Init(&kernels::module_definition); }
