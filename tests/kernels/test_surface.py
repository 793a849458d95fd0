"""What a caller meets before any kernel runs: the module, argument binding, argument
conversion and its notes, layout checks, result arrays, and how failures surface."""

import gc
import inspect
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _kernels

SLOWNESS = np.ones((3, 4))
SPACING = (1.0, 1.0)
SEEDS = [(0, 0, 0.0)]
SLIP = np.array([1.0, 2.0])
RISE = np.array([1.0, 2.0])
AMPLITUDES = np.ones((3, 4))
PADDED = (4, 6)
CELLS = (2, 3)


def eikonal(**changes):
    arguments = dict(slowness=SLOWNESS, spacing_km=SPACING, seeds=SEEDS) | changes
    return _kernels.eikonal_solve(**arguments)


def pulses(**changes):
    arguments = dict(slip_m=SLIP, rise_time_s=RISE, dt_s=0.1) | changes
    return _kernels.synthesise_pulses(**arguments)


def draw(**changes):
    arguments = dict(amplitudes=AMPLITUDES, padded_shape=PADDED, cell_counts=CELLS, seed=7) | changes
    return _kernels.circulant_draw(**arguments)


def run_python(code):
    """Runs `code` in a fresh interpreter, so that process-wide state starts unset."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


# ---- the module ------------------------------------------------------------------------


def test_module_exports_the_three_functions_in_order():
    assert _kernels.__all__ == ["eikonal_solve", "synthesise_pulses", "circulant_draw"]
    assert _kernels.__doc__ == ""
    for name in _kernels.__all__:
        function = getattr(_kernels, name)
        assert function.__name__ == name
        assert function.__module__ == "_kernels"
        assert function.__self__ is _kernels


@pytest.mark.parametrize(
    "function, signature, summary",
    [
        (_kernels.eikonal_solve, "(slowness, spacing_km, seeds)",
         "First-arrival times over a fault chart, by factored fast sweeping."),
        (_kernels.synthesise_pulses, "(slip_m, rise_time_s, dt_s, beta=None)",
         "Slip-rate pulses for every subfault, as CSR rows."),
        (_kernels.circulant_draw, "(amplitudes, padded_shape, cell_counts, seed)",
         "A pair of independent standard-normal fields from one circulant-embedding draw."),
    ],
)
def test_signatures_and_docstrings(function, signature, summary):
    assert str(inspect.signature(function)) == signature
    assert function.__doc__.startswith(summary + "\n\n")
    assert "--" not in function.__doc__.splitlines()
    assert not function.__doc__.endswith("\n")


def test_beta_defaults_to_none_in_the_signature():
    assert inspect.signature(_kernels.synthesise_pulses).parameters["beta"].default is None


def test_importing_does_not_import_numpy():
    result = run_python("""
        import sys
        import _kernels
        assert "numpy" not in sys.modules, "import pulled in numpy"
        print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


# ---- binding -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _kernels.eikonal_solve(SLOWNESS, SPACING, SEEDS, 1),
         "eikonal_solve() takes 3 positional arguments but 4 were given"),
        (lambda: _kernels.synthesise_pulses(SLIP, RISE, 0.1, None, 5),
         "synthesise_pulses() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: _kernels.circulant_draw(AMPLITUDES, PADDED, CELLS, 1, 2, 3),
         "circulant_draw() takes 4 positional arguments but 6 were given"),
        (lambda: _kernels.synthesise_pulses(SLIP, RISE),
         "synthesise_pulses() missing 1 required positional argument: 'dt_s'"),
        (lambda: _kernels.synthesise_pulses(SLIP),
         "synthesise_pulses() missing 2 required positional arguments: 'rise_time_s' and 'dt_s'"),
        (lambda: _kernels.circulant_draw(),
         "circulant_draw() missing 4 required positional arguments: "
         "'amplitudes', 'padded_shape', 'cell_counts', and 'seed'"),
        (lambda: _kernels.eikonal_solve(spacing_km=SPACING),
         "eikonal_solve() missing 2 required positional arguments: 'slowness' and 'seeds'"),
        (lambda: _kernels.eikonal_solve(SLOWNESS, SPACING, SEEDS, slowness=SLOWNESS),
         "eikonal_solve() got multiple values for argument 'slowness'"),
        (lambda: _kernels.synthesise_pulses(SLIP, RISE, 0.1, None, beta=None),
         "synthesise_pulses() got multiple values for argument 'beta'"),
        (lambda: _kernels.eikonal_solve(SLOWNESS, SPACING, SEEDS, spacing=SPACING),
         "eikonal_solve() got an unexpected keyword argument 'spacing'"),
        (lambda: _kernels.circulant_draw(AMPLITUDES, PADDED, CELLS, Seed=1),
         "circulant_draw() got an unexpected keyword argument 'Seed'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_keywords_bind_like_positions():
    expected = _kernels.eikonal_solve(SLOWNESS, SPACING, SEEDS)
    by_keyword = _kernels.eikonal_solve(seeds=SEEDS, slowness=SLOWNESS, spacing_km=SPACING)
    assert np.array_equal(expected, by_keyword)


def test_absent_beta_and_none_beta_are_the_same():
    results = [
        _kernels.synthesise_pulses(SLIP, RISE, 0.1),
        _kernels.synthesise_pulses(SLIP, RISE, 0.1, None),
        _kernels.synthesise_pulses(SLIP, RISE, 0.1, beta=None),
    ]
    for offsets, samples in results[1:]:
        assert np.array_equal(offsets, results[0][0])
        assert np.array_equal(samples, results[0][1])


# ---- conversion ----------------------------------------------------------------------


def conversion_error(call):
    with pytest.raises(Exception) as caught:
        call()
    return caught.value


BIG_ENDIAN = np.ones((3, 4), dtype=">f8")


@pytest.mark.parametrize(
    "call, kind, message, parameter",
    [
        # arrays
        (lambda: eikonal(slowness=None), TypeError, "'None' is not an instance of 'ndarray'", "slowness"),
        (lambda: eikonal(slowness=[[1.0]]), TypeError, "'list' object is not an instance of 'ndarray'",
         "slowness"),
        (lambda: eikonal(slowness=np.ones(3)), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "slowness"),
        (lambda: eikonal(slowness=np.ones((3, 4), dtype=np.float32)), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "slowness"),
        (lambda: eikonal(slowness=BIG_ENDIAN), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "slowness"),
        (lambda: eikonal(slowness=np.float64(1.0)), TypeError,
         "'float64' object is not an instance of 'ndarray'", "slowness"),
        (lambda: draw(amplitudes=np.array(1.0)), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "amplitudes"),
        (lambda: pulses(slip_m=[1.0, 2.0]), TypeError, "'list' object is not an instance of 'ndarray'",
         "slip_m"),
        (lambda: pulses(rise_time_s=np.ones(2, dtype=np.int64)), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "rise_time_s"),
        (lambda: pulses(beta=np.ones(2, dtype=np.complex128)), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "beta"),
        (lambda: pulses(beta=np.ones((2, 1))), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "beta"),
        (lambda: pulses(slip_m=np.array([1.0, 2.0], dtype=object)), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "slip_m"),
        # pairs
        (lambda: eikonal(spacing_km=[1.0, 1.0]), TypeError, "'list' object is not an instance of 'tuple'",
         "spacing_km"),
        (lambda: eikonal(spacing_km=(1.0, 1.0, 1.0)), ValueError,
         "expected tuple of length 2, but got tuple of length 3", "spacing_km"),
        (lambda: eikonal(spacing_km=None), TypeError, "'None' is not an instance of 'tuple'", "spacing_km"),
        (lambda: draw(padded_shape=np.array([4, 6])), TypeError,
         "'ndarray' object is not an instance of 'tuple'", "padded_shape"),
        (lambda: draw(cell_counts=(2,)), ValueError, "expected tuple of length 2, but got tuple of length 1",
         "cell_counts"),
        # seeds
        (lambda: eikonal(seeds=[[0, 0, 0.0]]), TypeError, "'list' object is not an instance of 'tuple'",
         "seeds"),
        (lambda: eikonal(seeds=[(0, 0)]), ValueError, "expected tuple of length 3, but got tuple of length 2",
         "seeds"),
        (lambda: eikonal(seeds="abc"), TypeError, "Can't extract `str` to `Vec`", "seeds"),
        (lambda: eikonal(seeds=5), TypeError, "'int' object is not an instance of 'Sequence'", "seeds"),
        (lambda: eikonal(seeds=(s for s in SEEDS)), TypeError,
         "'generator' object is not an instance of 'Sequence'", "seeds"),
        (lambda: eikonal(seeds={(0, 0, 0.0)}), TypeError, "'set' object is not an instance of 'Sequence'",
         "seeds"),
        (lambda: eikonal(seeds=range(3)), TypeError, "'int' object is not an instance of 'tuple'", "seeds"),
        (lambda: eikonal(seeds=np.zeros((1, 3))), TypeError,
         "'ndarray' object is not an instance of 'tuple'", "seeds"),
        (lambda: eikonal(seeds=[(0, 0, 0.0), None]), TypeError, "'None' is not an instance of 'tuple'",
         "seeds"),
    ],
)
def test_conversion_errors_carry_a_note(call, kind, message, parameter):
    error = conversion_error(call)
    assert type(error) is kind
    assert str(error) == message
    assert error.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "call, kind, parameter",
    [
        (lambda: eikonal(seeds=[(-1, 0, 0.0)]), OverflowError, "seeds"),
        (lambda: eikonal(seeds=[(0, 2**64, 0.0)]), OverflowError, "seeds"),
        (lambda: eikonal(seeds=[(0.0, 0, 0.0)]), TypeError, "seeds"),
        (lambda: eikonal(seeds=[(0, 0, "0")]), TypeError, "seeds"),
        (lambda: eikonal(spacing_km=(1.0, 10**400)), OverflowError, "spacing_km"),
        (lambda: pulses(dt_s="0.1"), TypeError, "dt_s"),
        (lambda: pulses(dt_s=None), TypeError, "dt_s"),
        (lambda: draw(seed=2**64), OverflowError, "seed"),
        (lambda: draw(seed=-1), OverflowError, "seed"),
        (lambda: draw(seed=1.0), TypeError, "seed"),
        (lambda: draw(seed="1"), TypeError, "seed"),
        (lambda: draw(padded_shape=(4, -6)), OverflowError, "padded_shape"),
        (lambda: draw(cell_counts=(2.0, 3)), TypeError, "cell_counts"),
    ],
)
def test_the_interpreters_own_refusals_keep_their_type(call, kind, parameter):
    error = conversion_error(call)
    assert type(error) is kind
    assert error.__notes__ == [f"while processing '{parameter}'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize("seed", [2**64 - 1, True, np.uint64(7), np.int8(3), Index(11)])
def test_integers_convert_through_index(seed):
    expected = _kernels.circulant_draw(AMPLITUDES, PADDED, CELLS, int(getattr(seed, "value", seed)))
    real, imaginary = draw(seed=seed)
    assert np.array_equal(real, expected[0]) and np.array_equal(imaginary, expected[1])


@pytest.mark.parametrize("dt", [1, True, np.float32(1.0), np.int64(1), Real(), Index(1)])
def test_numbers_convert_through_float(dt):
    expected = _kernels.synthesise_pulses(SLIP, RISE, float(dt) if not isinstance(dt, Index) else 1.0)
    offsets, samples = pulses(dt_s=dt)
    assert np.array_equal(offsets, expected[0]) and np.array_equal(samples, expected[1])


class TupleLike(tuple):
    pass


@pytest.mark.parametrize(
    "seeds",
    [((0, 0, 0.0),), [(0, 0, 0)], [TupleLike((0, 0, 0.0))], [(np.uint8(0), Index(0), np.float32(0.0))]],
)
def test_accepted_seed_forms(seeds):
    assert np.array_equal(eikonal(seeds=seeds), eikonal())


def test_spacing_accepts_a_tuple_subclass_of_any_numbers():
    assert np.array_equal(eikonal(spacing_km=TupleLike((1, Index(1)))), eikonal())


def test_nan_passes_conversion_and_the_kernel_refuses_it():
    with pytest.raises(ValueError) as caught:
        pulses(dt_s=float("nan"))
    assert str(caught.value) == "a sample interval of NaN s samples nothing; dt must be positive and finite"
    assert not getattr(caught.value, "__notes__", None)


def test_conversion_runs_in_parameter_order():
    with pytest.raises(TypeError) as caught:
        eikonal(slowness=None, seeds="abc")
    assert caught.value.__notes__ == ["while processing 'slowness'"]


def test_a_failing_sequence_length_only_skips_the_reservation():
    class Unsized(list):
        def __len__(self):
            raise RuntimeError("no length")

    assert np.array_equal(eikonal(seeds=Unsized(SEEDS)), eikonal())


def test_an_item_that_fails_to_come_keeps_its_exception():
    class Broken(list):
        def __iter__(self):
            yield (0, 0, 0.0)
            raise KeyError("gone")

    error = conversion_error(lambda: eikonal(seeds=Broken(SEEDS)))
    assert type(error) is KeyError
    assert error.__notes__ == ["while processing 'seeds'"]


# ---- layout --------------------------------------------------------------------------

LAYOUT = "The given array is not contiguous or is misaligned."


def misaligned(count):
    return np.frombuffer(bytearray(8 * count + 1), dtype=np.float64, offset=1, count=count)


@pytest.mark.parametrize(
    "call",
    [
        lambda: pulses(slip_m=np.ones(4)[::2]),
        lambda: pulses(beta=np.full(4, 0.25)[::2]),
        lambda: eikonal(slowness=np.ones((4, 3)).T),
        lambda: eikonal(slowness=np.ones((3, 8))[:, ::2]),
        lambda: pulses(rise_time_s=misaligned(2)),
        lambda: draw(amplitudes=np.ones((3, 8))[:, ::2]),
    ],
)
def test_arrays_that_cannot_be_read_in_place_are_refused(call):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == LAYOUT
    assert not getattr(caught.value, "__notes__", None)


def test_every_conversion_comes_before_any_layout_check():
    with pytest.raises(TypeError) as caught:
        pulses(slip_m=np.ones(4)[::2], rise_time_s=np.ones(2), dt_s="x")
    assert caught.value.__notes__ == ["while processing 'dt_s'"]


def test_a_row_major_transpose_passes():
    column = np.ones((4, 1))
    assert eikonal(slowness=column.T).shape == (1, 4)


def test_empty_arrays_pass_whatever_their_strides():
    offsets, samples = _kernels.synthesise_pulses(np.ones(4)[::4][:0], np.ones(0), 0.1)
    assert offsets.tolist() == [0] and samples.size == 0


@pytest.mark.parametrize(
    "array",
    [
        np.ma.masked_array([1.0, 2.0], mask=[True, False]),
        np.ones(2).view(type("Sub", (np.ndarray,), {})),
    ],
)
def test_subclasses_are_read_through_their_data(array):
    offsets, samples = pulses(slip_m=array)
    expected = pulses(slip_m=np.asarray(array).copy())
    assert np.array_equal(offsets, expected[0]) and np.array_equal(samples, expected[1])


def test_read_only_inputs_and_one_array_twice_are_accepted_and_left_alone():
    shared = np.array([1.0, 2.0])
    shared.setflags(write=False)
    before = shared.copy()
    pulses(slip_m=shared, rise_time_s=shared)
    assert np.array_equal(shared, before)


# ---- results -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "arrays",
    [lambda: [eikonal()], lambda: list(pulses()), lambda: list(draw())],
)
def test_results_are_fresh_writeable_arrays_over_their_own_buffers(arrays):
    results = arrays()
    for array in results:
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.aligned
        assert not array.flags.owndata
        assert array.base is not None
    first = results[0]
    copy = first.copy()
    first.fill(-1)
    assert all(not np.shares_memory(first, other) for other in results[1:])
    again = arrays()[0]
    assert np.array_equal(again, copy)


def test_result_dtypes_and_shapes():
    times = eikonal()
    assert times.dtype == np.float64 and times.shape == SLOWNESS.shape
    offsets, samples = pulses()
    assert offsets.dtype == np.int64 and samples.dtype == np.float64
    assert offsets[-1] == len(samples)
    real, imaginary = draw()
    assert real.shape == imaginary.shape == CELLS
    assert real.dtype == imaginary.dtype == np.float64


def test_a_result_buffer_outlives_the_call_through_views():
    offsets, samples = pulses()
    view = samples[1:]
    expected = view.copy()
    del samples
    gc.collect()
    assert np.array_equal(view, expected)


@pytest.mark.parametrize(
    "call",
    [
        lambda: eikonal(),
        lambda: eikonal(seeds=[(9, 9, 0.0)]),
        lambda: pulses(),
        lambda: pulses(dt_s=0.0),
        lambda: pulses(slip_m=np.ones(4)[::2]),
        lambda: draw(),
        lambda: draw(cell_counts=(9, 9)),
    ],
)
def test_calls_release_their_inputs(call):
    inputs = [SLOWNESS, SLIP, RISE, AMPLITUDES]
    before = [sys.getrefcount(array) for array in inputs]
    for _ in range(3):
        try:
            call()
        except (ValueError, TypeError):
            pass
    assert [sys.getrefcount(array) for array in inputs] == before


def test_results_are_freed_with_their_arrays():
    result = run_python("""
        import numpy as np, _kernels

        def resident_kib():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))

        slip = np.ones(100_000)
        rise = np.full(100_000, 0.4)
        beta = np.full(100_000, 0.25)
        _kernels.synthesise_pulses(slip, rise, 0.01, beta)  # about 33 MB of samples
        start = resident_kib()
        for _ in range(40):
            offsets, samples = _kernels.synthesise_pulses(slip, rise, 0.01, beta)
            del offsets, samples
        print(resident_kib() - start)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 100_000, "more than 100 MB kept after 40 calls of 32 MB each"


# ---- failures ------------------------------------------------------------------------


def test_kernel_failures_are_plain_value_errors():
    try:
        pulses(dt_s=-1.0)
    except Exception as error:  # an ordinary handler catches it
        assert type(error) is ValueError
        assert error.args == ("a sample interval of -1 s samples nothing; dt must be positive and finite",)
        assert not getattr(error, "__notes__", None)


def test_unbindable_numpy_is_a_panic_and_is_not_remembered():
    result = run_python("""
        import sys
        import numpy as np
        import _kernels

        slip = np.ones(2)
        numpy = sys.modules["numpy"]
        sys.modules["numpy"] = None
        try:
            try:
                _kernels.synthesise_pulses(slip, slip, 0.1)
            except Exception:
                print("caught by except Exception")
        except BaseException as panic:
            print(type(panic).__name__, [c.__name__ for c in type(panic).__mro__])
            print(panic.args[0])
        sys.modules["numpy"] = numpy
        offsets, samples = _kernels.synthesise_pulses(slip, slip, 0.1)
        print(offsets.tolist())
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "PanicException ['PanicException', 'BaseException', 'object']"
    assert lines[1].startswith("Failed to access NumPy array API capsule: ")
    assert lines[2] == "[0, 3, 6]"
    assert lines[1] in result.stderr


def test_a_sequence_too_long_to_hold_is_a_capacity_overflow():
    result = run_python("""
        import numpy as np, _kernels

        class Endless(list):
            def __len__(self):
                return 2**62

        try:
            _kernels.eikonal_solve(np.ones((2, 2)), (1.0, 1.0), Endless())
        except BaseException as panic:
            print(type(panic).__name__, panic)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException capacity overflow\n"
    # The report names the source file within the project, not where it was built.
    assert re.search(r"fatal internal failure at crates/kernels/src/\w+\.[ch]pp:\d+:\d+ ",
                     result.stderr), result.stderr


@pytest.mark.parametrize("claimed", [2**30, 2**40, 2**58])
def test_an_over_reported_length_only_loses_the_reservation(claimed):
    class Boastful(list):
        def __len__(self):
            return claimed

    seeds = [(0, 0, 0.0), (2, 3, 1.0)]
    np.testing.assert_array_equal(eikonal(seeds=Boastful(seeds)), eikonal(seeds=seeds))


def test_panic_exception_is_one_class_for_the_whole_process():
    result = run_python("""
        import sys, threading
        import numpy as np
        import _kernels

        class Endless(list):
            def __len__(self):
                return 2**62

        classes = []
        def provoke():
            try:
                _kernels.eikonal_solve(np.ones((2, 2)), (1.0, 1.0), Endless())
            except BaseException as panic:
                classes.append(type(panic))

        threads = [threading.Thread(target=provoke) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        provoke()
        print(len(classes), len(set(classes)), classes[0].__bases__ == (BaseException,))
    """)
    assert result.stdout == "9 1 True\n", result.stderr


# ---- threads -------------------------------------------------------------------------


def test_the_interpreter_lock_is_released_while_a_kernel_runs():
    n = 100_000
    slip = np.ones(n)
    rise = np.full(n, 2.0)
    beta = np.full(n, 0.3)
    done = threading.Event()
    quick_calls_while_busy = []

    def busy():
        _kernels.synthesise_pulses(slip, rise, 0.01, beta)
        done.set()

    worker = threading.Thread(target=busy)
    worker.start()
    while not done.is_set():
        _kernels.synthesise_pulses(SLIP, RISE, 0.1)
        if not done.is_set():
            quick_calls_while_busy.append(1)
    worker.join()
    assert quick_calls_while_busy, "no call completed while the long kernel ran"


def test_concurrent_calls_agree_with_a_sequential_one():
    n = 5_000
    rng = np.random.default_rng(3)
    slip = rng.uniform(0, 3, n)
    rise = rng.uniform(0.5, 5, n)
    beta = rng.uniform(0.1, 0.5, n)
    expected = _kernels.synthesise_pulses(slip, rise, 0.05, beta)
    results = [None] * 8

    def call(k):
        results[k] = _kernels.synthesise_pulses(slip, rise, 0.05, beta)

    threads = [threading.Thread(target=call, args=(k,)) for k in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for offsets, samples in results:
        assert np.array_equal(offsets, expected[0])
        assert np.array_equal(samples, expected[1])
