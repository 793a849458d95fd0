"""Odd arguments of every kind, to every parameter of every function: each call either
returns a well-formed result or raises one of the documented exceptions with its
documented message, and nothing else (no crash, no SystemError, no stray PanicException).

Which exception a conversion must raise is worked out here from the documented rules
and the interpreter's own conversion calls, so that the interpreter's messages can be
compared exactly too. Past the conversions, the kernels' refusals must read as one of
their documented messages."""

import ctypes
import math
import operator
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _kernels
import hostile_values as odd

# Odd values make the interpreter and NumPy warn as they convert them (complex to real,
# float subclasses from __float__, ...); the model sees the same warnings.
pytestmark = pytest.mark.filterwarnings("ignore")

settings.register_profile("hostile", max_examples=60, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
HOSTILE = settings.get_profile("hostile")

LAYOUT = "The given array is not contiguous or is misaligned."
MISSING = object()

# The interpreter's own conversions, called as the module calls them.
as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.argtypes, as_double.restype = [ctypes.py_object], ctypes.c_double
as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
as_u64.argtypes, as_u64.restype = [ctypes.py_object], ctypes.c_ulonglong
is_sequence = ctypes.pythonapi.PySequence_Check
is_sequence.argtypes, is_sequence.restype = [ctypes.py_object], ctypes.c_int

SEED_RECORD_BYTES = 24
LARGEST_BUFFER = 2**63 - 1


class Fatal(Exception):
    """The model's stand-in for PanicException."""


def not_an_instance(obj, expected):
    if obj is None:
        return TypeError(f"'None' is not an instance of '{expected}'")
    return TypeError(f"'{type(obj).__qualname__}' object is not an instance of '{expected}'")


# ---- the conversions, as documented ------------------------------------------------


def to_float(obj):
    return obj if type(obj) is float else as_double(obj)


def to_count(obj):
    return as_u64(obj if isinstance(obj, int) else operator.index(obj))


def tuple_items(obj, length):
    if not isinstance(obj, tuple):
        raise not_an_instance(obj, "tuple")
    if tuple.__len__(obj) != length:
        raise ValueError(f"expected tuple of length {length}, but got tuple of length {tuple.__len__(obj)}")
    return [tuple.__getitem__(obj, k) for k in range(length)]


def to_float_pair(obj):
    return tuple(to_float(item) for item in tuple_items(obj, 2))


def to_count_pair(obj):
    return tuple(to_count(item) for item in tuple_items(obj, 2))


def to_seeds(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise not_an_instance(obj, "Sequence")
    try:
        length = len(obj)
    except BaseException:  # the length only sizes the list
        length = 0
    if length > LARGEST_BUFFER // SEED_RECORD_BYTES:
        raise Fatal("capacity overflow")
    seeds = []
    for item in iter(obj):
        i, j, t0 = tuple_items(item, 3)
        seeds.append((to_count(i), to_count(j), to_float(t0)))
    return seeds


def to_array(dims):
    def convert(obj):
        if not (isinstance(obj, np.ndarray) and obj.ndim == dims and obj.dtype == np.float64):
            raise not_an_instance(obj, "ndarray")
        return obj
    return convert


def to_optional_vector(obj):
    return None if obj is MISSING or obj is None else to_array(1)(obj)


def readable_in_place(array):
    return array.size == 0 or (array.flags.aligned and array.flags.c_contiguous)


CONVERSIONS = {
    _kernels.eikonal_solve: {"slowness": to_array(2), "spacing_km": to_float_pair, "seeds": to_seeds},
    _kernels.synthesise_pulses: {"slip_m": to_array(1), "rise_time_s": to_array(1), "dt_s": to_float,
                                 "beta": to_optional_vector},
    _kernels.circulant_draw: {"amplitudes": to_array(2), "padded_shape": to_count_pair,
                              "cell_counts": to_count_pair, "seed": to_count},
}


def refusal(function, arguments):
    """The exception the call must raise before its kernel runs (with the notes it must
    carry), or None with the converted values when the kernel gets to run."""
    converted = {}
    for parameter, convert in CONVERSIONS[function].items():
        try:
            converted[parameter] = convert(arguments.get(parameter, MISSING))
        except Fatal as failure:
            return ("PanicException", str(failure), None), None
        except BaseException as failure:
            return (type(failure).__name__, str(failure), [f"while processing '{parameter}'"]), None
    for value in converted.values():
        if isinstance(value, np.ndarray) and not readable_in_place(value):
            return ("TypeError", LAYOUT, None), None
    return None, converted


# ---- what the kernels may say ------------------------------------------------------

N = r"\d+"
F = r"(?:-?\d+(?:\.\d+)?|-?inf|NaN)"
KERNEL_MESSAGES = {
    _kernels.eikonal_solve: [
        rf"a {N}x{N} grid has no cells to solve on",
        rf"the (?:down-dip|along-strike) spacing is {F} km; spacing must be positive and finite",
        rf"slowness at \({N}, {N}\) is {F} s/km; every cell must be positive and finite, "
        r"or the cells behind it are unreachable",
        r"no seeds: a wavefront needs somewhere to start",
        rf"seed {N} at \({N}, {N}\) is outside a {N}x{N} grid",
        rf"seed {N} starts at t = {F}, which is not a time",
        r"the sweep did not settle in 64 rounds over a medium whose slowness spans \d+\.\dx\. Rounds needed grow "
        r"with that contrast -- measured 9, 12, 13 and 14 at 3\.3x, 6\.8x, 12\.9x and 26x -- so the first thing "
        r"to check is the rupture velocity band: narrowing rupture_velocity_max_fraction or raising "
        r"rupture_velocity_min_fraction lowers the contrast directly",
    ],
    _kernels.circulant_draw: [
        rf"a {N}x{N} embedding has no cells",
        rf"a {N}x{N} embedding needs a {N}x{N} amplitude quadrant, not {N}x{N}",
        rf"a {N}x{N} fault does not fit in a {N}x{N} embedding",
    ],
    _kernels.synthesise_pulses: [
        rf"a sample interval of {F} s samples nothing; dt must be positive and finite",
        rf"(?:rise_time_s|beta) has {N} values for {N} subfaults; the per-subfault arrays must agree",
        rf"subfault {N} has beta = {F}; the rising limb's fraction must be in \(0, 0\.5\]",
        rf"subfault {N} has a slip of {F} m",
        rf"subfault {N} slips, but has a rise time of {F} s",
    ],
}
# Broken invariants that odd but valid input can still reach: times that overflow the
# double range, and rows too long for any buffer.
FATAL_MESSAGES = {
    _kernels.eikonal_solve: rf"\({N}, {N}\) was never reached",
    _kernels.circulant_draw: None,
    _kernels.synthesise_pulses: r"capacity overflow",
}


def check_result(function, converted, result):
    if function is _kernels.eikonal_solve:
        arrays, shapes = [result], [converted["slowness"].shape]
    elif function is _kernels.circulant_draw:
        assert type(result) is tuple and len(result) == 2
        arrays, shapes = list(result), [converted["cell_counts"]] * 2
    else:
        assert type(result) is tuple and len(result) == 2
        offsets, samples = result
        assert offsets.dtype == np.int64 and offsets.shape == (len(converted["slip_m"]) + 1,)
        assert offsets[0] == 0 and np.all(np.diff(offsets) >= 0) and offsets[-1] == len(samples)
        arrays, shapes = [samples], [samples.shape]
    for array, shape in zip(arrays, shapes):
        assert type(array) is np.ndarray and array.shape == tuple(shape)
        assert array.dtype in (np.float64, np.int64) and array.flags.c_contiguous and array.flags.writeable


def samples_asked_for(converted):
    """Roughly how many samples a pulse call with `converted` inputs would hold."""
    slip, rise, dt, beta = (converted[k] for k in ("slip_m", "rise_time_s", "dt_s", "beta"))
    if beta is None or not (dt > 0 and math.isfinite(dt)):
        return 0
    total = 0.0
    for s, r in zip(slip, rise):
        if abs(s) > 0.0001 and math.isfinite(r) and r >= 0:
            total += max(r / dt, 2.0) + 1
    return total


def check(function, arguments):
    expected, converted = refusal(function, arguments)
    # Pulse rows long enough to be allocated and filled, yet short of the address
    # space, would only spend time and memory.
    assume(expected or function is not _kernels.synthesise_pulses
           or not 1e6 < samples_asked_for(converted) < 2**45)
    try:
        result = function(**arguments)
    except BaseException as error:
        raised = (type(error).__name__, str(error), getattr(error, "__notes__", None))
    else:
        raised = None
    if expected:
        assert raised == expected
    elif raised is None:
        check_result(function, converted, result)
    elif raised[0] == "PanicException":
        assert FATAL_MESSAGES[function] and re.fullmatch(FATAL_MESSAGES[function], raised[1]), raised
    elif raised[0] == "MemoryError":
        assert function is _kernels.synthesise_pulses, raised
    else:
        assert raised[0] == "ValueError" and raised[2] is None, raised
        assert any(re.fullmatch(message, raised[1]) for message in KERNEL_MESSAGES[function]), raised


# ---- the properties ----------------------------------------------------------------

VALID = {
    _kernels.eikonal_solve: dict(slowness=np.ones((3, 4)), spacing_km=(1.0, 0.5), seeds=[(0, 0, 0.0)]),
    _kernels.synthesise_pulses: dict(slip_m=np.array([1.0, 0.0, -2.0]), rise_time_s=np.full(3, 0.5), dt_s=0.1,
                                     beta=np.full(3, 0.25)),
    _kernels.circulant_draw: dict(amplitudes=np.ones((3, 4)), padded_shape=(4, 6), cell_counts=(2, 3), seed=7),
}

ODD_VALUES = {
    "slowness": odd.grid_values(),
    "amplitudes": odd.grid_values(),
    "spacing_km": odd.pairs(odd.FLOAT_LIKE),
    "padded_shape": odd.pairs(odd.COUNT_LIKE),
    "cell_counts": odd.pairs(odd.COUNT_LIKE),
    "seeds": odd.SEED_LISTS,
    "seed": odd.mostly(odd.COUNT_LIKE, odd.ANYTHING),
    "slip_m": odd.vector_values(),
    "rise_time_s": odd.vector_values(),
    "beta": odd.vector_values(),
    "dt_s": odd.mostly(odd.FLOAT_LIKE, odd.ANYTHING),
}

PARAMETERS = [(function, parameter) for function in CONVERSIONS for parameter in CONVERSIONS[function]]


@pytest.mark.parametrize("function, parameter", PARAMETERS,
                         ids=[f"{function.__name__}-{parameter}" for function, parameter in PARAMETERS])
@HOSTILE
@given(data=st.data())
def test_one_odd_argument_is_refused_as_documented_or_used(function, parameter, data):
    arguments = VALID[function] | {parameter: data.draw(ODD_VALUES[parameter], label=parameter)}
    check(function, arguments)


@pytest.mark.parametrize("function", CONVERSIONS, ids=lambda function: function.__name__)
@HOSTILE
@given(data=st.data())
def test_many_odd_arguments_are_refused_in_parameter_order(function, data):
    arguments = {}
    for parameter in CONVERSIONS[function]:
        if data.draw(st.booleans(), label=f"odd {parameter}"):
            arguments[parameter] = data.draw(ODD_VALUES[parameter], label=parameter)
        else:
            arguments[parameter] = VALID[function][parameter]
    check(function, arguments)


def binding_error(name, parameters, required, positional, keywords):
    """The TypeError message the interpreter would give for the call, or None."""
    count = len(parameters)
    if positional > count:
        verb = "was" if positional == 1 else "were"
        if required == count:
            return f"{name}() takes {count} positional arguments but {positional} {verb} given"
        return f"{name}() takes from {required} to {count} positional arguments but {positional} {verb} given"
    filled = set(parameters[:positional])
    for keyword in keywords:
        if keyword not in parameters:
            return f"{name}() got an unexpected keyword argument '{keyword}'"
        if keyword in filled:
            return f"{name}() got multiple values for argument '{keyword}'"
        filled.add(keyword)
    missing = [f"'{p}'" for p in parameters[:required] if p not in filled]
    if not missing:
        return None
    listed = missing[0] if len(missing) == 1 else (
        " and ".join(missing) if len(missing) == 2 else ", ".join(missing[:-1]) + ", and " + missing[-1])
    noun = "argument" if len(missing) == 1 else "arguments"
    return f"{name}() missing {len(missing)} required positional {noun}: {listed}"


@pytest.mark.parametrize("function", CONVERSIONS, ids=lambda function: function.__name__)
@HOSTILE
@given(data=st.data())
def test_any_mix_of_positions_and_keywords_binds_like_a_python_function(function, data):
    parameters = list(CONVERSIONS[function])
    valid = list(VALID[function].values())
    positional = data.draw(st.integers(0, len(parameters) + 2), label="positional")
    names = st.sampled_from(parameters + ["spacing", "Seed", "slip", "kwargs", "beta_"])
    keywords = data.draw(st.lists(names, unique=True, max_size=5), label="keywords")
    args = (valid + [None] * 3)[:positional]
    kwargs = {k: VALID[function].get(k, 0) for k in keywords}
    required = 3 if function is _kernels.synthesise_pulses else len(parameters)
    message = binding_error(function.__name__, parameters, required, positional, keywords)
    if message is None:
        expected = function(**dict(zip(parameters, args)) | kwargs)
        result = function(*args, **kwargs)
        for got, want in zip(result if isinstance(result, tuple) else [result],
                             expected if isinstance(expected, tuple) else [expected]):
            assert np.array_equal(got, want)
        return
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


# ---- arguments that change while the call converts them ----------------------------

MUTATIONS = {
    "eikonal_solve": """
        grid = np.ones((3, 4))
        class Spacing:
            def __float__(self):
                grid.resize((40, 30), refcheck=False)
                grid[...] = 0.5
                return 1.0
        call = lambda: _kernels.eikonal_solve(grid, (Spacing(), 1.0), [(0, 0, 0.0)])
        again = lambda: _kernels.eikonal_solve(grid.copy(), (1.0, 1.0), [(0, 0, 0.0)])
    """,
    "synthesise_pulses": """
        slip = np.ones(3)
        class Interval:
            def __float__(self):
                slip.resize(500, refcheck=False)
                slip[...] = 2.0
                return 0.1
        call = lambda: _kernels.synthesise_pulses(slip, np.ones(500), Interval())
        again = lambda: _kernels.synthesise_pulses(slip.copy(), np.ones(500), 0.1)
    """,
    "circulant_draw": """
        amplitudes = np.ones((3, 4))
        class Seed:
            def __index__(self):
                amplitudes.resize((33, 26), refcheck=False)
                amplitudes[...] = 0.5
                return 9
        call = lambda: _kernels.circulant_draw(amplitudes, (64, 50), (64, 50), Seed())
        again = lambda: _kernels.circulant_draw(amplitudes.copy(), (64, 50), (64, 50), 9)
    """,
}


@pytest.mark.parametrize("function", MUTATIONS)
def test_an_array_resized_by_a_later_conversion_is_read_as_it_is_then(function):
    # In a fresh process: reading the array's old memory could take the run down with it.
    code = "import numpy as np, _kernels\n" + textwrap.dedent(MUTATIONS[function]) + textwrap.dedent("""
        def arrays(result):
            return [a.tobytes() for a in (result if isinstance(result, tuple) else (result,))]
        try:
            got = arrays(call())
        except BaseException as error:
            got = repr(error)
        print(got == arrays(again()), got if isinstance(got, str) else "")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("True"), result.stdout


def test_a_seed_list_emptied_while_it_is_read_stops_where_it_was_cut():
    grid = np.ones((3, 4))

    class Row:
        def __index__(self):
            seeds.clear()
            return 2

    seeds = [(Row(), 1, 0.0), (0, 0, 0.0), (0, 3, 0.0)]
    times = _kernels.eikonal_solve(grid, (1.0, 1.0), seeds)
    assert np.array_equal(times, _kernels.eikonal_solve(grid, (1.0, 1.0), [(2, 1, 0.0)]))
