"""Calls that succeed and calls that fail in every way they can leave nothing behind:
however often they are made, the reference counts of their arguments, the interpreter's
heap and the process's resident memory stay flat.

Reference counts and tracemalloc see the interpreter objects a call takes or makes;
resident memory sees the module's own buffers, which are large enough here for a leak of
any one of them to stand out. Smaller native leaks are the sanitizer tier's to find."""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
from contextlib import redirect_stderr
from typing import Callable, NamedTuple

import numpy as np
import pytest

import _kernels

DT = 0.01


class Endless(list):
    """A seed list whose reported length no buffer could hold: a fatal failure."""

    def __len__(self):
        return 2**62


class Call(NamedTuple):
    function: Callable
    arguments: dict
    raises: str | None  # the name of the exception the call must raise

    def make(self):
        try:
            self.function(**self.arguments)
        except BaseException as error:
            if type(error).__name__ != self.raises:
                raise
        else:
            assert self.raises is None, f"no {self.raises} raised"


def grid(cells, value=1.0):
    return np.full((side(cells), side(cells)), value)


def subfaults(n, last_rise=3 * DT):
    rise = np.full(n, 3 * DT)
    rise[-1] = last_rise
    return dict(slip_m=np.linspace(0.5, 2.0, n), rise_time_s=rise, dt_s=float(DT), beta=np.full(n, 0.25))


def seeds():
    return [(1, 0, float("0.5"))]


def quadrant(side):
    return dict(amplitudes=np.ones((side // 2 + 1, side // 2 + 1)), padded_shape=(side, side))


def eikonal(n):
    return dict(slowness=grid(n), spacing_km=(0.5, float("0.5")), seeds=seeds())


def side(n):
    return max(2, int(n**0.5))


# Each way a call can end, with inputs of about n values each.
CALLS = {
    "eikonal": lambda n: Call(_kernels.eikonal_solve, eikonal(n), None),
    "pulses": lambda n: Call(_kernels.synthesise_pulses, subfaults(n), None),
    "draw": lambda n: Call(_kernels.circulant_draw,
                           quadrant(side(n)) | dict(cell_counts=(side(n) // 2, side(n)), seed=2**40 + 1), None),
    "binding error": lambda n: Call(_kernels.eikonal_solve, eikonal(n) | dict(spacing=(0.5, 0.5)), "TypeError"),
    "conversion error": lambda n: Call(_kernels.eikonal_solve, eikonal(n) | dict(spacing_km=[0.5, 0.5]),
                                       "TypeError"),
    # The records read before the bad one are freed.
    "conversion error in the last seed": lambda n: Call(
        _kernels.eikonal_solve, eikonal(n) | dict(seeds=[(k % side(n), 0, 0.0) for k in range(n)] + [(0, -1, 0.0)]),
        "OverflowError"),
    "layout error": lambda n: Call(_kernels.synthesise_pulses, subfaults(n) | dict(beta=np.full(2 * n, 0.25)[::2]),
                                   "TypeError"),
    "eikonal message": lambda n: Call(_kernels.eikonal_solve, eikonal(n) | dict(seeds=seeds() + [(side(n), 0, 0.0)]),
                                      "ValueError"),
    "draw message": lambda n: Call(_kernels.circulant_draw,
                                   quadrant(side(n)) | dict(cell_counts=(side(n) + 1, 1), seed=3), "ValueError"),
    # Every row is sized, and the offsets allocated, before the last subfault fails.
    "pulses message": lambda n: Call(_kernels.synthesise_pulses, subfaults(n, last_rise=-1.0), "ValueError"),
    "fatal failure": lambda n: Call(_kernels.eikonal_solve, eikonal(n) | dict(seeds=Endless(seeds())),
                                    "PanicException"),
    # Times overflow to infinity, so the solve allocates everything before it fails.
    "fatal failure after the solve": lambda n: Call(
        _kernels.eikonal_solve, dict(slowness=grid(n, 1e300), spacing_km=(1e10, 1e10), seeds=seeds()),
        "PanicException"),
    # More samples than the address space holds, whatever the overcommit policy.
    "memory error": lambda n: Call(_kernels.synthesise_pulses, subfaults(n, last_rise=1e15 * DT), "MemoryError"),
}


def shared_by_everyone(obj):
    # Small integers are single objects that the whole interpreter counts references to.
    return type(obj) is int and -5 <= obj <= 256


def held_objects(arguments):
    """The arguments and the objects inside the containers among them."""
    objects = []
    for value in arguments.values():
        objects.append(value)
        if isinstance(value, (list, tuple)):
            objects.extend(iter(value))  # not len(): Endless reports a length it lacks
            objects.extend(item for inner in value if isinstance(inner, tuple) for item in inner)
    return [obj for obj in objects if not shared_by_everyone(obj)]


def repeat(made, times):
    # Fatal failures write a report to standard error each time.
    with open(os.devnull, "w") as sink, redirect_stderr(sink):
        for _ in range(times):
            made.make()


@pytest.mark.parametrize("kind", CALLS)
def test_calls_leave_the_reference_counts_of_their_arguments_alone(kind):
    made = CALLS[kind](16)
    objects = held_objects(made.arguments)
    repeat(made, 5)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    repeat(made, 300)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in objects] == before


def settle():
    gc.collect()
    # The interpreter's attribute cache keeps the last name looked up in each of its
    # slots, and names made afresh for each lookup land in new slots when memory is not
    # reused at once (PYTHONMALLOC=malloc, the sanitizers): up to 4096 of them.
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()  # renamed in 3.13


@pytest.mark.parametrize("kind", CALLS)
def test_calls_leave_the_interpreter_heap_flat(kind):
    made = CALLS[kind](16)
    times = 2000
    repeat(made, 50)
    settle()
    tracemalloc.start()
    try:
        start = tracemalloc.take_snapshot()
        repeat(made, times)
        settle()
        grown = tracemalloc.take_snapshot().compare_to(start, "lineno")
    finally:
        tracemalloc.stop()
    growth = sum(stat.size_diff for stat in grown)
    # A single object kept per call would be 32 bytes or more.
    assert growth < 8 * times, [str(stat) for stat in grown[:5]]


RESIDENT_GROWTH = """
    import gc, sys
    sys.path.insert(0, {tests!r})
    from test_ownership import CALLS, repeat

    def resident_kib():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))

    made = CALLS[{kind!r}]({n})
    repeat(made, 20)
    gc.collect()
    start = resident_kib()
    repeat(made, {times})
    gc.collect()
    print(resident_kib() - start)
"""


@pytest.mark.parametrize("kind", CALLS)
def test_calls_leave_the_resident_memory_flat(kind):
    # A call that allocates holds buffers of at least 800 kB: 100 leaked would be 80 MB.
    n, times = 100_000, 100
    if kind == "conversion error in the last seed":
        n = 40_000  # 960 kB of records, and quicker to build
    code = RESIDENT_GROWTH.format(tests=os.path.dirname(__file__), kind=kind, n=n, times=times)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 32_000, f"{result.stdout.strip()} kB more resident after {times} calls"
