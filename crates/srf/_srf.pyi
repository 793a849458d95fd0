# Types of the compiled module `kinematic_rupture._srf`, installed beside it.

from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

Float64Array: TypeAlias = npt.NDArray[np.float64]
Int64Array: TypeAlias = npt.NDArray[np.int64]
Number: TypeAlias = SupportsFloat | SupportsIndex

def format_points(
    lon: Float64Array,  # 1-D, one value per point, like every column up to slip
    lat: Float64Array,
    depth: Float64Array,  # km
    strike: Float64Array,
    dip: Float64Array,
    tinit: Float64Array,  # s
    vs: Float64Array,  # cm/s
    density: Float64Array,  # g/cm^3
    rake: Float64Array,
    slip: Float64Array,  # cm
    offsets: Int64Array,  # 1-D, one more than the points
    samples: Float64Array,  # 1-D slip rates, cm/s
    area: Number,  # cm^2
    dt: Number,  # s
    version: str,  # "1.0" or "2.0"
) -> bytes:
    """The text of a block of SRF points, as ASCII bytes: what srf.py's reference writer
    gives, encoded."""
