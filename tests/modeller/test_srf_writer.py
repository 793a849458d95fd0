"""The compiled SRF writer (kinematic_rupture._srf) against the reference, plain Python:
whole files of ruptures byte for byte, its formatting function against Python's %
formatting on any finite values, and what it refuses."""

import dataclasses
import io
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kinematic_rupture import Fault, RuptureSettings, build_rupture, srf
from kinematic_rupture._srf import format_points
from kinematic_rupture.checks import SettingError
from kinematic_rupture.geometry import Plane

COLUMNS = ("lon", "lat", "depth", "strike", "dip", "tinit", "vs", "density", "rake", "slip")


def file_bytes(tmp_path, rupture, version, reference):
    """The file write_srf makes, through a binary stream as the command opens one."""
    path = tmp_path / f"{'reference' if reference else 'compiled'}-{version}.srf"
    with open(path, "wb") as stream:
        srf.write_srf(stream, rupture, version, ["a comment"], reference=reference)
    return path.read_bytes()


def test_the_package_writes_through_the_compiled_writer():
    assert srf.format_points is format_points


# (length, width, cell km, magnitude): one block of points, two (past POINT_BLOCK), eleven.
SIZES = [(4.0, 2.0, 0.5, 5.2), (16.0, 8.0, 0.1, 6.3), (30.0, 15.0, 0.1, 6.6)]


@pytest.mark.parametrize("size", SIZES, ids=lambda size: f"{size[0]:g}x{size[1]:g}@{size[2]:g}")
@pytest.mark.parametrize("version", srf.VERSIONS)
def test_a_ruptures_file_is_the_reference_file_byte_for_byte(tmp_path, size, version):
    length, width, cell, magnitude = size
    fault = Fault.single(length_km=length, width_km=width, cell_km=cell, dip_deg=60.0,
                         rake_deg=90.0, top_depth_km=1.0)
    rupture = build_rupture(fault, RuptureSettings(magnitude=magnitude, seed=int(length)))
    compiled = file_bytes(tmp_path, rupture, version, reference=False)
    assert compiled == file_bytes(tmp_path, rupture, version, reference=True)


def two_plane_rupture():
    """A rupture on two planes of different strike, dip and depth. Where the builder takes
    only one plane, a one-plane rupture's arrays on a two-plane fault of as many cells:
    the writer only lays them out."""
    planes = (Plane(length_km=6.0, width_km=4.0, strike_deg=10.0, dip_deg=80.0, rake_deg=170.0),
              Plane(length_km=6.0, width_km=4.0, lon=-117.45, lat=34.25, strike_deg=35.0,
                    dip_deg=70.0, rake_deg=150.0, top_depth_km=0.5))
    fault = Fault(planes, 0.05)
    settings_ = RuptureSettings(magnitude=5.8, seed=5)
    try:
        return build_rupture(fault, settings_)
    except SettingError as refused:
        if refused.setting != "planes":
            raise
        single = Fault.single(length_km=12.0, width_km=4.0, cell_km=0.05, dip_deg=80.0,
                              rake_deg=170.0)
        return dataclasses.replace(build_rupture(single, settings_), fault=fault)


@pytest.mark.parametrize("version", srf.VERSIONS)
def test_a_file_of_several_planes_is_the_reference_file_byte_for_byte(tmp_path, version):
    rupture = two_plane_rupture()
    compiled = file_bytes(tmp_path, rupture, version, reference=False)
    assert compiled.count(b"\nPOINTS 9600\n") == 2  # both planes, each past POINT_BLOCK
    assert compiled == file_bytes(tmp_path, rupture, version, reference=True)


@pytest.fixture(scope="module")
def small_rupture():
    fault = Fault.single(length_km=16.0, width_km=8.0, cell_km=0.1, dip_deg=60.0)  # two blocks
    return build_rupture(fault, RuptureSettings(magnitude=6.3, seed=2))


@pytest.mark.parametrize("reference", [False, True])
@pytest.mark.parametrize("encoding, newline", [("utf-16", None), ("ascii", "\r\n"),
                                               ("utf-8", "\r"), ("utf-32", "\r\n")])
def test_a_text_stream_gets_text_in_its_own_encoding_and_newlines(tmp_path, small_rupture,
                                                                  reference, encoding, newline):
    expected = file_bytes(tmp_path, small_rupture, "2.0", reference).decode("ascii")
    path = tmp_path / "text.srf"
    with open(path, "w", encoding=encoding, newline=newline) as stream:
        stream.write("")  # a stream that has begun: a BOM, if any, is already out
        srf.write_srf(stream, small_rupture, "2.0", ["a comment"], reference=reference)
    written = path.read_bytes().decode(encoding)
    assert written == expected.replace("\n", newline or os.linesep)


def test_a_path_a_binary_stream_and_a_string_stream_get_the_same_file(tmp_path, small_rupture):
    expected = file_bytes(tmp_path, small_rupture, "1.0", reference=False)
    srf.write_srf(tmp_path / "path.srf", small_rupture, "1.0", ["a comment"])
    srf.write_srf(str(tmp_path / "name.srf"), small_rupture, "1.0", ["a comment"])
    binary, text = io.BytesIO(), io.StringIO()
    srf.write_srf(binary, small_rupture, "1.0", ["a comment"])
    srf.write_srf(text, small_rupture, "1.0", ["a comment"])
    assert (tmp_path / "path.srf").read_bytes() == (tmp_path / "name.srf").read_bytes() == expected
    assert binary.getvalue() == text.getvalue().encode("ascii") == expected


# ---- The formatting function against Python's % formatting -----------------------------


def python_text(columns, offsets, samples, area, dt, version):
    """The points' text with Python's % operator, as the SRF layout has it."""
    point = "%.6f %.6f %.6f %.2f %.2f %.6e %.6f %.6e"
    point += " %.6e %.6e\n" if version == "2.0" else "\n"
    lines = []
    for k in range(len(offsets) - 1):
        c = {name: float(columns[name][k]) for name in COLUMNS}
        values = [c["lon"], c["lat"], c["depth"], c["strike"], c["dip"], area, c["tinit"], dt]
        if version == "2.0":
            values += [c["vs"], c["density"]]
        count = int(offsets[k + 1] - offsets[k])
        lines.append(point % tuple(values) + "%.2f %.6e %d 0.0 0 0.0 0\n" % (c["rake"], c["slip"], count))
        rates = samples[offsets[k] - offsets[0]:offsets[k + 1] - offsets[0]].tolist()
        for line in range(0, count, 6):
            lines.append("".join("%13.5e" % rate for rate in rates[line:line + 6]) + "\n")
    return "".join(lines)


def compiled_text(columns, offsets, samples, area, dt, version):
    return format_points(*(columns[name] for name in COLUMNS), offsets, samples, area, dt,
                         version).decode("ascii")


# Values where formatting goes wrong first: signed zeros, values that round to zero, exact
# decimal ties, neighbours of powers of ten, the ends of the exponent range, subnormals.
EDGES = [0.0, -0.0, -1e-7, 1e-7, 4.9e-7, 5e-7, -0.004, 0.005, 0.125, -0.125, 0.375, 2.5, 0.5,
         1.5, 9.5, 9.9999995, 0.9999995, 999999.5, 1234565.0, 123456.5, 12345.75, 1e-100,
         1e100, -1e100, 1e300, -1e300, 1e-300, 1e22, 1e23, 1e-22, 1e-23, 2.0**53, 2.0**50 + 0.5,
         5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
         np.nextafter(0.125, 1.0), np.nextafter(0.125, 0.0), np.nextafter(10.0, 0.0),
         np.nextafter(1e6, 2e6), -117.205891, 34.085539, 295.0, 2.021118e5]
# Exact ties of the fixed forms (n + 1/2 at 0, 2 and 6 decimals) and the scientific ones
# (seven digits ending in 5, times or over a power of ten that keeps them exact).
TIES = st.one_of(
    st.integers(-10**9, 10**9).map(lambda n: (2 * n + 1) / 2.0),
    st.integers(-10**9, 10**9).map(lambda n: (2 * n + 1) / 8.0),
    st.integers(-10**8, 10**8).map(lambda n: (2 * n + 1) / 128.0),
    st.integers(10**5, 10**6 - 1).map(lambda n: 10.0 * n + 5.0),
    st.integers(10**5, 10**6 - 1).map(lambda n: (10.0 * n + 5.0) / 10.0),
    st.integers(10**5, 10**6 - 1).map(lambda n: (10.0 * n + 5.0) * 1e12),
)
VALUES = st.one_of(st.sampled_from(EDGES), TIES, st.floats(allow_nan=False, allow_infinity=False),
                   st.floats(-1e4, 1e4), st.floats(1e-8, 1e4))


@st.composite
def blocks(draw):
    """(columns, offsets, samples, area, dt, version) of 0 to 12 points with 0 to 14
    samples each."""
    counts = draw(st.lists(st.integers(0, 14), max_size=12))
    base = draw(st.integers(0, 2**40))
    offsets = np.array([base, *(base + np.cumsum(counts, dtype=np.int64))], dtype=np.int64)
    columns = {name: np.array(draw(st.lists(VALUES, min_size=len(counts), max_size=len(counts))),
                              dtype=np.float64) for name in COLUMNS}
    samples = np.array(draw(st.lists(VALUES, min_size=sum(counts), max_size=sum(counts))),
                       dtype=np.float64)
    return columns, offsets, samples, draw(VALUES), draw(VALUES), draw(st.sampled_from(srf.VERSIONS))


@settings(max_examples=400, deadline=None)
@given(blocks())
def test_points_are_written_as_pythons_percent_formatting_writes_them(block):
    assert compiled_text(*block) == python_text(*block)


@pytest.mark.parametrize("version", srf.VERSIONS)
def test_every_edge_value_in_every_place_is_written_as_python_writes_it(version):
    values = np.array(EDGES, dtype=np.float64)
    columns = {name: np.roll(values, shift) for shift, name in enumerate(COLUMNS)}
    offsets = np.arange(len(values) + 1, dtype=np.int64) * 7 + 3
    samples = np.resize(values, 7 * len(values))
    for area, dt in [(1e8, 0.05), (-0.0, 5e-324), (0.125, 1e300)]:
        block = (columns, offsets, samples, area, dt, version)
        assert compiled_text(*block) == python_text(*block)


def some_block(points=5, counts=(0, 1, 6, 7, 13)):
    """A small good block: (columns, offsets, samples)."""
    rng = np.random.default_rng(points)
    columns = {name: rng.uniform(-500, 500, points) for name in COLUMNS}
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    return columns, offsets, rng.uniform(0, 300, int(offsets[-1]))


def test_unaligned_arrays_are_read_as_they_are():
    columns, offsets, samples = some_block()

    def unaligned(array):
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        raw[1:] = array.view(np.uint8)
        return np.frombuffer(raw.data, dtype=array.dtype, offset=1)

    moved = {name: unaligned(column) for name, column in columns.items()}
    assert not moved["lon"].flags.aligned
    assert compiled_text(moved, unaligned(offsets), unaligned(samples), 1e8, 0.05, "2.0") == \
        python_text(columns, offsets, samples, 1e8, 0.05, "2.0")


def test_threads_writing_at_once_each_get_their_own_text():
    columns, offsets, samples = some_block(3000, np.arange(3000) % 15)
    expected = compiled_text(columns, offsets, samples, 1e8, 0.05, "2.0")
    results = [""] * 4

    def write(k):
        results[k] = compiled_text(columns, offsets, samples, 1e8, 0.05, "2.0")

    threads = [threading.Thread(target=write, args=(k,)) for k in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * len(results)


# ---- What it refuses --------------------------------------------------------------------


def refusal(change):
    """The exception of format_points on a good block that `change` spoils: it gets the
    arguments as a dict and returns them. The arguments hold no reference more after
    the call than before it, so every array's buffer was released."""
    columns, offsets, samples = some_block()
    arguments = {**columns, "offsets": offsets, "samples": samples, "area": 1e8, "dt": 0.05,
                 "version": "2.0"}
    arguments = {name: own_copy(value) for name, value in change(arguments).items()}
    held = {name: sys.getrefcount(value) for name, value in arguments.items()}
    with pytest.raises((TypeError, ValueError)) as raised:
        format_points(**arguments)
    assert {name: sys.getrefcount(value) for name, value in arguments.items()} == held
    return raised


def own_copy(value):
    """A float or str equal to `value` but referenced only here. A constant of this module
    is shared with code objects and frames elsewhere; their collection during the call
    would change its count and fail the check for no reason."""
    if type(value) is float:
        return value * 1.0
    if type(value) is str:
        return value[:1] + value[1:]
    return value


def replaced(name, value):
    return lambda arguments: {**arguments, name: value}


def value_set(name, index, value):
    def change(arguments):
        array = arguments[name].copy()
        array[index] = value
        return {**arguments, name: array}
    return change


@pytest.mark.parametrize("name", [*COLUMNS, "samples"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_a_value_that_is_not_finite_is_refused_by_name_and_index(name, bad):
    raised = refusal(value_set(name, 3, bad))
    assert raised.type is ValueError
    assert str(raised.value) == (f"format_points: {name}[3] is {str(bad).lower()}: an SRF file "
                                 "holds finite numbers only")


@pytest.mark.parametrize("change, message", [
    (value_set("offsets", 3, 0), r"offsets\[3\] = 0 is less than offsets\[2\] = 1: point 2 "
                                 r"cannot have a negative number of samples"),
    (value_set("offsets", 1, 20), r"offsets\[2\] = 1 is less than offsets\[1\] = 20: point 1 "
                                  r"cannot have a negative number of samples"),
    (value_set("offsets", 1, 30), r"offsets\[1\] = 30 lies past the end of the samples, which "
                                  r"run from offsets\[0\] = 0 for 27 values"),
    (value_set("offsets", 5, 26), r"offsets\[5\] - offsets\[0\] is 26, but samples has 27 values"),
    # Offsets that end below where they start: the first decrease is named, not a span.
    (value_set("offsets", 5, -1), r"offsets\[5\] = -1 is less than offsets\[4\] = 14: point 4 "
                                  r"cannot have a negative number of samples"),
    (value_set("offsets", 0, 100), r"offsets\[1\] = 0 is less than offsets\[0\] = 100: point 0 "
                                   r"cannot have a negative number of samples"),
    (lambda a: {**a, "samples": a["samples"][:-1]}, r"offsets\[5\] - offsets\[0\] is 27, but "
                                                    r"samples has 26 values"),
    (lambda a: {**a, "offsets": a["offsets"][:-1]}, r"offsets has 5 values: it needs one more "
                                                    r"than the 5 points"),
    (lambda a: {**a, "rake": a["rake"][:4]}, r"rake has 4 values and lon 5: every column has "
                                             r"one value per point"),
    (replaced("lat", np.zeros((5, 1))), r"lat must be one-dimensional, not 2-dimensional"),
    (replaced("dip", np.zeros(10)[::2]), r"dip must be contiguous, not strided by 16 bytes"),
    (replaced("samples", np.zeros(54)[::-2]), r"samples must be contiguous, not strided by -16 bytes"),
    (replaced("area", np.nan), r"area is nan: an SRF file holds finite numbers only"),
    (replaced("dt", -np.inf), r"dt is -inf: an SRF file holds finite numbers only"),
    (replaced("version", "3.0"), r"version must be '1.0' or '2.0', not '3.0'"),
])
def test_inconsistent_values_are_refused_with_value_error(change, message):
    raised = refusal(change)
    assert raised.type is ValueError
    assert raised.match("^format_points: (" + message + ")$")


@pytest.mark.parametrize("change, message", [
    (replaced("lon", [1.0, 2.0, 3.0, 4.0, 5.0]), r"lon must be a one-dimensional float64 array, not list"),
    (replaced("tinit", np.zeros(5, dtype=np.float32)), r"tinit must be a float64 array, not one of "
                                                       r"items 'f' of 4 bytes"),
    (replaced("slip", np.zeros(5, dtype=">f8")), r"slip must be a float64 array, not one of items "
                                                 r"'>d' of 8 bytes"),
    (replaced("offsets", np.arange(6, dtype=np.int32)), r"offsets must be an int64 array, not one of "
                                                         r"items 'i' of 4 bytes"),
    (replaced("offsets", np.arange(6, dtype=np.float64)), r"offsets must be an int64 array, not one "
                                                           r"of items 'd' of 8 bytes"),
    (replaced("samples", np.zeros(27, dtype=np.uint64)), r"samples must be a float64 array, not one "
                                                         r"of items 'L' of 8 bytes"),
    (replaced("area", "1e8"), r"must be real number, not str"),
    (replaced("version", 2.0), r"must be str, not float"),
])
def test_arrays_of_the_wrong_kind_are_refused_with_type_error(change, message):
    raised = refusal(change)
    assert raised.type is TypeError
    assert raised.match(message)


def test_a_refused_value_leaves_the_reference_writer_alone():
    """The reference writer writes what it is given; only the compiled one refuses."""
    columns, offsets, samples = some_block()
    columns["slip"][0] = np.nan
    assert "nan" in python_text(columns, offsets, samples, 1e8, 0.05, "1.0")
    with pytest.raises(ValueError, match=r"slip\[0\] is nan"):
        compiled_text(columns, offsets, samples, 1e8, 0.05, "1.0")


MEMORY_SCRIPT = """
import resource
import numpy as np
from kinematic_rupture._srf import format_points

def address_space_bytes():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmSize:"))
    return int(line.split()[1]) * 1024

samples = np.zeros(40_000_000)  # 520 MB of text, never touched
one = np.zeros(1)
arguments = [one] * 10 + [np.array([0, samples.size]), samples, 1e8, 0.05, "2.0"]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space_bytes() + 256 * 2**20, hard))
try:
    format_points(*arguments)
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
arguments[10], arguments[11] = np.array([0, 3]), samples[:3]
print(format_points(*arguments).count(b"0.00000e+00"))
"""


def test_text_that_memory_cannot_hold_raises_memory_error_and_the_next_call_works():
    done = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "3"]
