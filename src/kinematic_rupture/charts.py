"""Charts: the grids the rupture is computed on. Consecutive planes that share their dip,
width and top depth and meet edge to edge are unfolded onto one chart, on which distances
are measured across the bends along the fault's surface (exactly so for vertical planes,
whose unfolding is an isometry); every other plane is a chart of its own. A chart's rows
run down dip and its columns along strike, plane after plane."""

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .geometry import WGS84, Fault, Plane

IntArray = npt.NDArray[np.intp]
FloatArray = npt.NDArray[np.float64]

# Top edges whose ends lie within this many cells of each other meet edge to edge.
JUNCTION_TOLERANCE_CELLS = 0.5


@dataclass(frozen=True, eq=False)
class Chart:
    """Planes `planes` unfolded side by side. `index[i, j]` is the subfault at row i and
    column j; `starts[n]` is the first column of the chart's n-th plane."""

    planes: tuple[int, ...]
    index: IntArray
    starts: tuple[int, ...]

    @property
    def shape(self) -> tuple[int, int]:
        rows, columns = self.index.shape
        return int(rows), int(columns)

    def gather(self, values: FloatArray) -> FloatArray:
        """A per-subfault array's values on this chart."""
        return values[self.index]

    def scatter(self, grid: FloatArray, values: FloatArray) -> None:
        """Puts a chart's grid into a per-subfault array."""
        values[self.index] = grid


def top_edge_ends(plane: Plane) -> tuple[tuple[float, float], tuple[float, float]]:
    """(lon, lat) of the first and the last end of the plane's top edge."""
    half = 500.0 * plane.length_km
    first = WGS84.fwd(plane.lon, plane.lat, plane.strike_deg + 180.0, half)
    last = WGS84.fwd(plane.lon, plane.lat, plane.strike_deg, half)
    return (first[0], first[1]), (last[0], last[1])


def unfoldable(before: Plane, after: Plane, cell_km: float) -> bool:
    """Whether two consecutive planes share dip, width and top depth and meet edge to edge."""
    if (before.dip_deg, before.width_km, before.top_depth_km) != (
            after.dip_deg, after.width_km, after.top_depth_km):
        return False
    _, (lon, lat) = top_edge_ends(before)
    (next_lon, next_lat), _ = top_edge_ends(after)
    _, _, gap_m = WGS84.inv(lon, lat, next_lon, next_lat)
    return bool(gap_m <= JUNCTION_TOLERANCE_CELLS * cell_km * 1e3)


def fault_charts(fault: Fault) -> list[Chart]:
    """The fault's charts, in order along strike."""
    groups: list[list[int]] = [[0]]
    for number in range(1, len(fault.planes)):
        if unfoldable(fault.planes[number - 1], fault.planes[number], fault.cell_km):
            groups[-1].append(number)
        else:
            groups.append([number])
    starts = fault.plane_starts()
    charts = []
    for group in groups:
        grids = [starts[n] + np.arange(math.prod(fault.cells(n))).reshape(fault.cells(n))
                 for n in group]
        columns = np.cumsum([0] + [grid.shape[1] for grid in grids[:-1]])
        charts.append(Chart(tuple(group), np.hstack(grids), tuple(int(c) for c in columns)))
    return charts
