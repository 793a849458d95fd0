# Types of the compiled module `_kernels`, for editors and type checkers. Installed
# beside the extension module. Array arguments must be float64 and C-contiguous; the
# number of dimensions each one needs is given in its comment.

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["eikonal_solve", "synthesise_pulses", "circulant_draw"]

Float64Array: TypeAlias = npt.NDArray[np.float64]
Int64Array: TypeAlias = npt.NDArray[np.int64]

# A value the module reads as a double: a float, an int, or anything with __float__ or
# __index__ (NumPy scalars included).
Number: TypeAlias = SupportsFloat | SupportsIndex
# A value the module reads as an unsigned 64-bit count: an int (bool included) or
# anything with __index__.
Count: TypeAlias = SupportsIndex

def eikonal_solve(
    slowness: Float64Array,  # 2-D, s/km; rows down-dip, columns along-strike
    spacing_km: tuple[Number, Number],  # (down-dip, along-strike)
    seeds: Sequence[tuple[Count, Count, Number]],  # (i, j, t0_seconds) for each seed
) -> Float64Array:  # 2-D first-arrival times in s, the shape of `slowness`
    """First-arrival times over a fault chart, by factored fast sweeping."""

def synthesise_pulses(
    slip_m: Float64Array,  # 1-D, one value per subfault
    rise_time_s: Float64Array,  # 1-D, one value per subfault
    dt_s: Number,
    beta: Float64Array | None = None,  # 1-D rising fractions in (0, 0.5], or an impulse
) -> tuple[Int64Array, Float64Array]:  # (offsets, samples): CSR rows of slip rate, m/s
    """Slip-rate pulses for every subfault, as CSR rows."""

def circulant_draw(
    amplitudes: Float64Array,  # 2-D quadrant, (padded_i // 2 + 1, padded_j // 2 + 1)
    padded_shape: tuple[Count, Count],
    cell_counts: tuple[Count, Count],
    seed: Count,
) -> tuple[Float64Array, Float64Array]:  # (real, imaginary), each of shape `cell_counts`
    """A pair of independent standard-normal fields from one circulant-embedding draw."""
