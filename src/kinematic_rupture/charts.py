"""Charts: the grids the rupture is computed on. Consecutive planes that share their dip,
width and top depth and meet edge to edge are unfolded onto one chart, on which distances
are measured across the bends along the fault's surface (exactly so for vertical planes,
whose unfolding is an isometry); every other plane is a chart of its own. A chart's rows
run down dip and its columns along strike, plane after plane.

Consecutive charts either meet edge to edge (their top edges meet, depth included) or lie
apart across a gap; a `Junction` says which, and for a gap how far each cell of one
chart's facing edge lies from each of the other's.

.. autosummary::

   fault_charts
   Chart
   chart_junctions
   Junction
   unfoldable
   top_edges_meet
   top_edge_ends
"""

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .geometry import WGS84, Fault, Plane

__all__ = ["fault_charts", "Chart", "chart_junctions", "Junction", "unfoldable",
           "top_edges_meet", "top_edge_ends"]

IntArray = npt.NDArray[np.intp]
FloatArray = npt.NDArray[np.float64]

# Top edges whose ends lie within this many cells of each other meet edge to edge.
JUNCTION_TOLERANCE_CELLS = 0.5


@dataclass(frozen=True, eq=False)
class Chart:
    """Planes unfolded side by side.

    Parameters
    ----------
    planes : tuple of int
        The fault's planes it holds, in order.
    index : numpy.ndarray of int
        ``index[i, j]`` is the subfault at row i (down dip) and column j (along strike).
    starts : tuple of int
        ``starts[n]`` is the first column of the chart's n-th plane.
    """

    planes: tuple[int, ...]
    index: IntArray
    starts: tuple[int, ...]

    @property
    def shape(self) -> tuple[int, int]:
        """(rows, columns)."""
        rows, columns = self.index.shape
        return int(rows), int(columns)

    def gather(self, values: FloatArray) -> FloatArray:
        """A per-subfault array's values on this chart.

        Parameters
        ----------
        values : numpy.ndarray
            One value a subfault of the fault.

        Returns
        -------
        numpy.ndarray
            (rows, columns).
        """
        return values[self.index]

    def scatter(self, grid: FloatArray, values: FloatArray) -> None:
        """Puts a chart's grid into a per-subfault array.

        Parameters
        ----------
        grid : numpy.ndarray
            (rows, columns).
        values : numpy.ndarray
            One value a subfault of the fault; changed in place.
        """
        values[self.index] = grid


def top_edge_ends(plane: Plane) -> tuple[tuple[float, float], tuple[float, float]]:
    """The ends of a plane's top edge.

    Parameters
    ----------
    plane : Plane
        The plane.

    Returns
    -------
    tuple
        ((lon, lat) of its first end, (lon, lat) of its last), degrees.
    """
    half = 500.0 * plane.length_km
    first = WGS84.fwd(plane.lon, plane.lat, plane.strike_deg + 180.0, half)
    last = WGS84.fwd(plane.lon, plane.lat, plane.strike_deg, half)
    return (first[0], first[1]), (last[0], last[1])


def top_edges_meet(before: Plane, after: Plane, cell_km: float) -> bool:
    """Whether the last end of one plane's top edge and the first end of the next's lie
    within half a cell of each other (`JUNCTION_TOLERANCE_CELLS`), depth included.

    Parameters
    ----------
    before, after : Plane
        Consecutive planes.
    cell_km : float
        The cells' side, km.

    Returns
    -------
    bool
        Whether they meet edge to edge.
    """
    _, (lon, lat) = top_edge_ends(before)
    (next_lon, next_lat), _ = top_edge_ends(after)
    _, _, apart_m = WGS84.inv(lon, lat, next_lon, next_lat)
    apart_km = math.hypot(apart_m / 1e3, after.top_depth_km - before.top_depth_km)
    return apart_km <= JUNCTION_TOLERANCE_CELLS * cell_km


def unfoldable(before: Plane, after: Plane, cell_km: float) -> bool:
    """Whether two consecutive planes share dip, width and top depth and meet edge to edge.

    Parameters
    ----------
    before, after : Plane
        Consecutive planes.
    cell_km : float
        The cells' side, km.

    Returns
    -------
    bool
        Whether they go on one chart.
    """
    if (before.dip_deg, before.width_km, before.top_depth_km) != (
            after.dip_deg, after.width_km, after.top_depth_km):
        return False
    return top_edges_meet(before, after, cell_km)


def fault_charts(fault: Fault) -> list[Chart]:
    """The fault's charts, in order along strike.

    Parameters
    ----------
    fault : Fault
        The fault.

    Returns
    -------
    list of Chart
        Consecutive unfoldable planes on one chart, every other plane on its own.
    """
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


@dataclass(frozen=True, eq=False)
class Junction:
    """Where a chart meets the next one along strike.

    Parameters
    ----------
    distance_km : numpy.ndarray or None
        None where they meet edge to edge; across a gap, ``distance_km[i, k]`` is the
        straight distance (km, depth included) from the centre of row k of the first
        chart's last column to that of row i of the next chart's first column.
    """

    distance_km: FloatArray | None

    @property
    def gap_km(self) -> float:
        """The narrowest distance across the gap; 0 where the charts meet."""
        return 0.0 if self.distance_km is None else float(self.distance_km.min())


def chart_junctions(fault: Fault, charts: list[Chart]) -> list[Junction]:
    """The junction after each chart but the last.

    Parameters
    ----------
    fault : Fault
        The fault.
    charts : list of Chart
        Its charts (`fault_charts`).

    Returns
    -------
    list of Junction
        One fewer than the charts.
    """
    lon, lat = fault.positions()
    depth = fault.depths_km()
    junctions = []
    for before, after in zip(charts, charts[1:]):
        if top_edges_meet(fault.planes[before.planes[-1]], fault.planes[after.planes[0]],
                          fault.cell_km):
            junctions.append(Junction(None))
            continue
        ends, starts = before.index[:, -1], after.index[:, 0]
        shape = (starts.size, ends.size)
        _, _, across_m = WGS84.inv(np.broadcast_to(lon[starts][:, None], shape),
                                   np.broadcast_to(lat[starts][:, None], shape),
                                   np.broadcast_to(lon[ends][None, :], shape),
                                   np.broadcast_to(lat[ends][None, :], shape))
        distance = np.hypot(np.asarray(across_m) / 1e3, depth[starts][:, None] - depth[ends][None, :])
        junctions.append(Junction(distance))
    return junctions
