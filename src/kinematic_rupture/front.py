"""When the rupture front reaches every subfault: first-arrival times by the eikonal
solver, chart by chart.

The chart that holds the hypocentre is solved from it; every other chart from the arrival
times along the edges it shares with its neighbours, every row of such an edge a seed
starting when the front gets there. Where two charts meet edge to edge, they are the
planar pieces of one warped surface whose depth contours run on across the junction: the
edge point at a depth is one point of both, so its time is the earlier of what either side
gives. On the steeper side the front reaches a depth by a shorter way, so the charts are
solved again, each from both neighbours' edges, until no edge seed would start a cell
earlier than it already starts (a few sweeps), and the times are continuous across the
junction to within a cell's travel time.

Where two charts lie apart across a gap, the front jumps it: each cell of the receiving
edge starts at the earliest, over the facing edge's cells, of their time plus the
straight distance between the cells at the receiving cell's rupture speed (as though the
fault ran on across the gap), plus the jump delay the settings give (none by default).

.. autosummary::

   front_times
   hypocentre_seed
"""

import math

import numpy as np
import numpy.typing as npt

import _kernels

from .charts import Chart, Junction
from .checks import SettingError

__all__ = ["front_times", "hypocentre_seed"]

FloatArray = npt.NDArray[np.float64]
Seed = tuple[int, int, float]

# An edge of more rows than this is seeded at every n-th row only (the solver takes one
# pass per seed); the time between seeds then lags by at most a fraction of a cell's.
MOST_EDGE_SEEDS = 256
# The sweeps over the charts stop when no edge seed would start its cell earlier than it
# starts by more than this fraction of the time the front takes to cross a cell at its
# fastest...
SETTLE_FRACTION = 0.01
# ...or after this many sweeps, which no fault met in practice needs (two or three do).
MOST_SWEEPS = 16
# Columns along an edge solved again when its seeds lower a chart's times, at first.
BAND_COLUMNS = 32


def hypocentre_seed(chart: Chart, cell_km: float, row: int, column: int, along_km: float,
                    down_km: float, speed: FloatArray) -> Seed:
    """The seed of a hypocentre on a chart: its cell, and the time the front takes from the
    hypocentre to that cell's centre.

    Parameters
    ----------
    chart : Chart
        The chart that holds it.
    cell_km : float
        The cells' side, km.
    row, column : int
        Its cell on the chart.
    along_km, down_km : float
        Where it is on the chart, km along strike from its first column's edge and down
        dip from its top.
    speed : numpy.ndarray
        The chart's rupture speed, km/s, (rows, columns).

    Returns
    -------
    tuple
        (row, column, time in s).
    """
    offset = math.hypot((row + 0.5) * cell_km - down_km, (column + 0.5) * cell_km - along_km)
    return row, column, offset / float(speed[row, column])


def seeded_rows(rows: list[int]) -> list[int]:
    """The rows of an edge that get a seed: all, or every n-th and the last."""
    stride = max(1, math.ceil(len(rows) / MOST_EDGE_SEEDS))
    return rows[::stride] + ([rows[-1]] if rows and (len(rows) - 1) % stride else [])


def at_depth(depth: float, depths: FloatArray, values: FloatArray) -> float:
    """`values` along an edge at `depth`, linear between its rows and carried on linearly
    beyond its first and last row (an edge of one row holds its value)."""
    if depths.size < 2:
        return float(values[0])
    k = int(np.clip(np.searchsorted(depths, depth), 1, depths.size - 1))
    share = (depth - depths[k - 1]) / (depths[k] - depths[k - 1])
    return float(values[k - 1] + share * (values[k] - values[k - 1]))


def edge_seeds(times: FloatArray, slope: FloatArray, depths: FloatArray,
               target_depths: FloatArray, target_speed: FloatArray, cell_km: float,
               column: int) -> list[Seed]:
    """Seeds for a chart's edge `column` from the arrival times along its neighbour's edge
    (`times`, and `slope`, their change per km towards the junction): each row at a depth
    the neighbour's edge spans starts when the neighbour's front, carried on one cell at
    the slope it arrives with, gets there; never later than one cell's travel."""
    low, high = depths.min() - 0.5 * cell_km, depths.max() + 0.5 * cell_km
    rows = [i for i in range(target_depths.size) if low <= target_depths[i] <= high]
    seeds = []
    for i in seeded_rows(rows):
        arrival = at_depth(float(target_depths[i]), depths, times)
        step = at_depth(float(target_depths[i]), depths, slope)
        seeds.append((i, column, arrival + cell_km * min(max(step, 0.0), 1.0 / float(target_speed[i]))))
    return seeds


def gap_seeds(times: FloatArray, distance_km: FloatArray, target_speed: FloatArray,
              delay_s: float, column: int) -> list[Seed]:
    """Seeds for a chart's edge `column` across a gap from its neighbour's facing edge:
    row i starts at the earliest over the neighbour's rows k of `times[k]` plus
    `distance_km[i, k]` at row i's rupture speed, plus `delay_s`."""
    seeds = []
    for i in seeded_rows(list(range(distance_km.shape[0]))):
        arrival = float(np.min(times + distance_km[i] / float(target_speed[i])))
        seeds.append((i, column, arrival + delay_s))
    return seeds


def edge_slope(times: FloatArray, speed: FloatArray, cell_km: float, last: bool) -> FloatArray:
    """How fast the arrival time grows towards a chart's first or `last` column, per km;
    one over the speed for a chart one column wide."""
    if times.shape[1] < 2:
        return 1.0 / (speed[:, -1] if last else speed[:, 0])
    change = times[:, -1] - times[:, -2] if last else times[:, 0] - times[:, 1]
    return change / cell_km


def crossing_seeds(charts: list[Chart], junctions: list[Junction], solved: dict[int, FloatArray],
                   speed: FloatArray, depth: FloatArray, cell_km: float, delay_s: float,
                   number: int, neighbour: int) -> list[Seed]:
    """Seeds for chart `number`'s edge towards `neighbour` from the neighbour's times."""
    chart, source = charts[number], charts[neighbour]
    forward = neighbour < number  # the front crosses in the direction of strike
    shared = 0 if forward else chart.shape[1] - 1
    their = source.shape[1] - 1 if forward else 0
    times = solved[neighbour]
    target_speed = chart.gather(speed)[:, shared]
    distance = junctions[min(number, neighbour)].distance_km
    if distance is not None:
        return gap_seeds(times[:, their], distance if forward else distance.T, target_speed,
                         delay_s, shared)
    slope = edge_slope(times, source.gather(speed), cell_km, last=forward)
    return edge_seeds(times[:, their], slope, source.gather(depth)[:, their],
                      chart.gather(depth)[:, shared], target_speed, cell_km, shared)


def solve(chart: Chart, speed: FloatArray, cell_km: float, seeds: list[Seed]) -> FloatArray:
    slowness = 1.0 / chart.gather(speed)
    return _kernels.eikonal_solve(np.ascontiguousarray(slowness), (cell_km, cell_km), seeds)


def lowered(times: FloatArray, chart: Chart, speed: FloatArray, cell_km: float,
            seeds: list[Seed], tolerance: float) -> FloatArray:
    """A solved chart's `times`, lowered where `seeds`, all on one of its edge columns, reach
    a cell earlier. Only a band of columns along that edge is solved: where the far side of
    the band is not lowered by more than `tolerance`, nothing beyond it is, since every way
    there crosses it; otherwise the band is widened."""
    columns = times.shape[1]
    first_edge = seeds[0][1] == 0
    slowness = 1.0 / chart.gather(speed)
    width = min(columns, BAND_COLUMNS)
    while True:
        band = slice(0, width) if first_edge else slice(columns - width, columns)
        shift = 0 if first_edge else columns - width
        fresh = _kernels.eikonal_solve(np.ascontiguousarray(slowness[:, band]), (cell_km, cell_km),
                                       [(i, j - shift, t) for i, j, t in seeds])
        far = -1 if first_edge else 0
        if width == columns or not np.any(fresh[:, far] < times[:, band][:, far] - tolerance):
            result = times.copy()
            result[:, band] = np.minimum(times[:, band], fresh)
            return result
        width = min(columns, 2 * width)


def front_times(charts: list[Chart], junctions: list[Junction], speed: FloatArray,
                depth: FloatArray, cell_km: float, start: int, first_seed: Seed,
                delay_s: float = 0.0) -> FloatArray:
    """Arrival times of every subfault from a seed on one chart, crossing each gap between
    charts with a delay.

    The first sweep solves the charts outwards from the hypocentre's, each from the
    neighbour nearer it. Every later sweep lowers each chart's times by the seeds (from
    either neighbour) that start their cell earlier than it now starts; the eikonal
    solution of several seeds is the earliest of each one's, so this is the solution from
    all of them.

    Parameters
    ----------
    charts : list of Chart
        The fault's charts.
    junctions : list of Junction
        Where they meet (`charts.chart_junctions`).
    speed : numpy.ndarray
        Each subfault's rupture speed, km/s.
    depth : numpy.ndarray
        Each subfault's depth, km.
    cell_km : float
        The cells' side, km.
    start : int
        The chart of the hypocentre.
    first_seed : tuple
        Its seed (`hypocentre_seed`).
    delay_s : float
        The delay of a jump across a gap, s.

    Returns
    -------
    numpy.ndarray
        Each subfault's rupture time, s.

    Raises
    ------
    SettingError
        A chart that shares no depth with the one it meets edge to edge.
    """
    tolerance = SETTLE_FRACTION * cell_km / float(speed.max())
    solved = {start: solve(charts[start], speed, cell_km, [first_seed])}
    outwards = [*range(start + 1, len(charts)), *range(start - 1, -1, -1)]
    for sweep in range(MOST_SWEEPS):
        changed = False
        for number in outwards if sweep == 0 else [start, *outwards]:
            for neighbour in (number - 1, number + 1):
                if neighbour not in solved:
                    continue
                seeds = crossing_seeds(charts, junctions, solved, speed, depth, cell_km, delay_s,
                                       number, neighbour)
                now = solved.get(number)
                if now is None:
                    if not seeds:
                        raise SettingError("planes", charts[number].planes[0] + 1, "shares no depth "
                                           "with its neighbour: the rupture cannot cross to it")
                    solved[number] = solve(charts[number], speed, cell_km, seeds)
                    continue
                seeds = [seed for seed in seeds if seed[2] < now[seed[0], seed[1]] - tolerance]
                if seeds:
                    solved[number] = lowered(now, charts[number], speed, cell_km, seeds, tolerance)
                    changed = True
        if not changed and sweep > 0:
            break
    times = np.empty_like(speed)
    for number, chart in enumerate(charts):
        chart.scatter(solved[number], times)
    return times
