"""Calls that run out of memory, the transform library's own allocations included, raise
MemoryError and leave the interpreter carrying on; a call that gets its memory gives the
same result as one that never ran short. Each sweep runs in a child process under an
address-space limit set a given headroom above what the child already uses."""

import json
import subprocess
import sys
import textwrap

import pytest

CHILD = """
import json, resource, sys
import numpy as np, _kernels

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

CALLS = {
    # A prime padded length, transformed by the longest plans, and a power of two.
    "draw-prime": lambda: _kernels.circulant_draw(
        np.ones((3, 65538)), (4, 131075), (3, 100), 1),
    "draw-prime-rows": lambda: _kernels.circulant_draw(
        np.ones((65538, 2)), (131075, 2), (100, 2), 2),
    "draw-power-of-two": lambda: _kernels.circulant_draw(
        np.ones((513, 513)), (1024, 1024), (700, 600), 3),
    "pulses": lambda: _kernels.synthesise_pulses(
        np.linspace(0.0, 2.0, 200_000), np.linspace(0.5, 5.0, 200_000), 0.01,
        np.linspace(0.1, 0.5, 200_000)),
    "eikonal": lambda: _kernels.eikonal_solve(
        np.ones((700, 700)), (0.1, 0.1), [(5, 5, 0.0), (600, 650, 1.0)]),
}

def flat(result):
    parts = result if isinstance(result, tuple) else (result,)
    return [np.asarray(part) for part in parts]

call = CALLS[sys.argv[1]]
headrooms = json.loads(sys.argv[2])
expected = flat(call()) if sys.argv[3] == "compare" else None
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for headroom in headrooms:
    outcome = "ok"
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, hard))
    try:
        result = call()
    except MemoryError:
        outcome, result = "MemoryError", None
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if result is not None and expected is not None:
        same = all(np.array_equal(a, b) for a, b in zip(flat(result), expected))
        outcome = "ok" if same else "wrong result"
    del result
    print(headroom, outcome, flush=True)
"""

MIB = 2**20
HEADROOMS = [0, 1 * MIB, 2 * MIB, 4 * MIB, 6 * MIB, 8 * MIB, 12 * MIB, 16 * MIB, 24 * MIB,
             32 * MIB, 48 * MIB, 64 * MIB, 96 * MIB, 128 * MIB, 192 * MIB, 256 * MIB, 512 * MIB]
CALLS = ["draw-prime", "draw-prime-rows", "draw-power-of-two", "pulses", "eikonal"]


def sweep(call, headrooms, mode, threads):
    env = {"RAYON_NUM_THREADS": str(threads), "PATH": "/usr/bin:/bin"}
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), call, json.dumps(headrooms), mode],
        capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, (result.returncode, result.stdout, result.stderr[-3000:])
    outcomes = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert set(outcomes.values()) <= {"ok", "MemoryError"}, outcomes
    return outcomes


@pytest.mark.parametrize("threads", [1, 2, 8])
@pytest.mark.parametrize("call", CALLS)
def test_repeated_calls_under_a_memory_limit_succeed_or_raise_memory_error(call, threads):
    outcomes = sweep(call, HEADROOMS, "compare", threads)
    # The limits cover both sides: the tightest fail and the loosest succeed.
    assert outcomes[str(HEADROOMS[0])] == "MemoryError"
    assert outcomes[str(HEADROOMS[-1])] == "ok"


@pytest.mark.parametrize("threads", [2, 8])
@pytest.mark.parametrize("call", CALLS)
def test_a_first_call_under_a_memory_limit_succeeds_or_raises_memory_error(call, threads):
    # The first call of a process also creates the worker pool under the limit.
    for headroom in HEADROOMS[::2]:
        sweep(call, [headroom], "first", threads)
