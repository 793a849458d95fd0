"""Arguments whose conversion runs Python code that changes an array converted before them:
the call must see each array as it is once the last argument is converted, never as it was."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _kernels

# Each case builds its arrays, mutates one from inside a later argument's conversion, and
# prints the outcome; run in a fresh interpreter, since reading freed memory may kill it.
PRELUDE = """
import numpy as np, _kernels

class Float:
    def __init__(self, value, effect):
        self.value, self.effect = value, effect
    def __float__(self):
        self.effect()
        return self.value

class Index:
    def __init__(self, value, effect):
        self.value, self.effect = value, effect
    def __index__(self):
        self.effect()
        return self.value

def outcome(call):
    try:
        result = call()
    except Exception as error:
        notes = getattr(error, "__notes__", [])
        print(type(error).__name__, str(error), *notes, sep=" | ")
    else:
        parts = result if isinstance(result, tuple) else (result,)
        print("result", *[part.tolist() for part in parts])
"""

CASES = {
    # The slip array shrinks to one value while dt converts: the rise times no longer match.
    "pulses, slip resized by dt": ("""
        slip, rise = np.ones(100_000), np.ones(100_000)
        outcome(lambda: _kernels.synthesise_pulses(
            slip, rise, Float(0.1, lambda: slip.resize(1, refcheck=False))))
    """, "ValueError | rise_time_s has 100000 values for 1 subfaults; "
         "the per-subfault arrays must agree"),
    # The rise times shrink to match a one-subfault slip: a valid call on the new shapes.
    "pulses, rise resized by dt": ("""
        slip, rise = np.ones(1), np.full(100_000, 2.0)
        outcome(lambda: _kernels.synthesise_pulses(
            slip, rise, Float(0.5, lambda: rise.resize(1, refcheck=False))))
    """, "result [0, 3] [0.0, 2.0, 0.0]"),
    # Assigned strides make the slip array a strided view: it can no longer be read in place.
    "pulses, slip strided by dt": ("""
        base = np.ones(20)
        slip = base[:10]
        outcome(lambda: _kernels.synthesise_pulses(
            slip, np.ones(10), Float(0.1, lambda: setattr(slip, "strides", (16,)))))
    """, "TypeError | The given array is not contiguous or is misaligned."),
    # A dtype assigned in place makes the array int64: it is no longer a float64 array.
    "pulses, rise retyped by dt": ("""
        rise = np.full(4, 0.25)
        outcome(lambda: _kernels.synthesise_pulses(
            np.ones(4), rise, Float(0.1, lambda: setattr(rise, "dtype", np.int64))))
    """, "TypeError | 'ndarray' object is not an instance of 'ndarray' | "
         "while processing 'rise_time_s'"),
    # A seed's row shrinks the slowness grid to 2 x 2: the solve runs on the grid as it is.
    "eikonal, slowness resized by a seed": ("""
        slowness = np.ones((600, 600))
        outcome(lambda: _kernels.eikonal_solve(slowness, (1.0, 1.0), [
            (Index(0, lambda: slowness.resize((2, 2), refcheck=False)), 0, 0.0)]))
    """, "result " + str(_kernels.eikonal_solve(np.ones((2, 2)), (1.0, 1.0), [(0, 0, 0.0)]).tolist())),
    # The grid becomes one-dimensional: not a 2-D float64 array any more.
    "eikonal, slowness flattened by a seed": ("""
        slowness = np.ones((30, 30))
        outcome(lambda: _kernels.eikonal_solve(slowness, (1.0, 1.0), [
            (Index(0, lambda: slowness.resize(900, refcheck=False)), 0, 0.0)]))
    """, "TypeError | 'ndarray' object is not an instance of 'ndarray' | "
         "while processing 'slowness'"),
    # The amplitude quadrant shrinks while the seed converts: the quadrant no longer fits.
    "draw, amplitudes resized by the seed": ("""
        amplitudes = np.ones((1025, 1025))
        outcome(lambda: _kernels.circulant_draw(amplitudes, (2048, 2048), (4, 4),
            Index(7, lambda: amplitudes.resize((2, 2), refcheck=False))))
    """, "ValueError | a 2048x2048 embedding needs a 1025x1025 amplitude quadrant, not 2x2"),
    "draw, amplitudes transposed by the cell counts": ("""
        amplitudes = np.ones((3, 4))
        def transpose():
            amplitudes.shape = (4, 3)
            amplitudes.strides = (8, 32)
        outcome(lambda: _kernels.circulant_draw(amplitudes, (4, 6), (Index(2, transpose), 3), 7))
    """, "TypeError | The given array is not contiguous or is misaligned."),
}


@pytest.mark.parametrize("case", CASES)
def test_arrays_are_read_as_they_are_after_the_last_conversion(case):
    code, expected = CASES[case]
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected
