# Types of the compiled module `kinematic_rupture._rows`, installed beside it.

from typing import TypeAlias

import numpy as np
import numpy.typing as npt

Float64Array: TypeAlias = npt.NDArray[np.float64]
Int64Array: TypeAlias = npt.NDArray[np.int64]

def smooth_rows(
    offsets: Int64Array,  # 1-D, from 0, one more than the rows
    samples: Float64Array,
    widths: Int64Array,  # one per row
    new_offsets: Int64Array,
    out: Float64Array,  # written: new_offsets[-1] values
) -> None:
    """Writes into out the rows each convolved with a boxcar of widths[k] samples of unit
    area, as pulses.smooth_rows does."""

def add_moment_rate(
    start: Float64Array,  # grid time of each row's first sample
    offsets: Int64Array,
    samples: Float64Array,
    weight: Float64Array,  # one per row
    rate: Float64Array,  # added to
    block_samples: int,
) -> None:
    """Adds to rate the moment rate of the rows, as moment.moment_rate does."""
