"""When the rupture front reaches every subfault: first-arrival times by the eikonal
solver, chart by chart. The chart that holds the hypocentre is solved from it; each chart
after it (and before it) is solved from the arrival times along the edge it shares with its
neighbour, every row of that edge a seed starting when the front gets there."""

import math

import numpy as np
import numpy.typing as npt

import _kernels

from .charts import Chart
from .checks import SettingError

FloatArray = npt.NDArray[np.float64]
Seed = tuple[int, int, float]

# An edge of more rows than this is seeded at every n-th row only (the solver takes one
# pass per seed); the time between seeds then lags by at most a fraction of a cell's.
MOST_EDGE_SEEDS = 256


def hypocentre_seed(chart: Chart, cell_km: float, row: int, column: int, along_km: float,
                    down_km: float, speed: FloatArray) -> Seed:
    """The seed of a hypocentre at (`along_km`, `down_km`) on the chart: its cell, and the
    time the front takes from the hypocentre to that cell's centre."""
    offset = math.hypot((row + 0.5) * cell_km - down_km, (column + 0.5) * cell_km - along_km)
    return row, column, offset / float(speed[row, column])


def edge_seeds(times: FloatArray, slope: FloatArray, depths: FloatArray,
               target_depths: FloatArray, target_speed: FloatArray, cell_km: float,
               column: int) -> list[Seed]:
    """Seeds for a chart's edge `column` from the arrival times along its neighbour's edge
    (`times`, and `slope`, their change per km towards the junction): each row at a depth
    the neighbour's edge spans starts when the neighbour's front, carried on one cell at
    the slope it arrives with, gets there; never later than one cell's travel."""
    low, high = depths.min() - 0.5 * cell_km, depths.max() + 0.5 * cell_km
    rows = [i for i in range(target_depths.size) if low <= target_depths[i] <= high]
    stride = max(1, math.ceil(len(rows) / MOST_EDGE_SEEDS))
    seeds = []
    for i in rows[::stride] + ([rows[-1]] if rows and (len(rows) - 1) % stride else []):
        arrival = float(np.interp(target_depths[i], depths, times))
        step = float(np.interp(target_depths[i], depths, slope))
        seeds.append((i, column, arrival + cell_km * min(max(step, 0.0), 1.0 / float(target_speed[i]))))
    return seeds


def edge_slope(times: FloatArray, speed: FloatArray, cell_km: float, last: bool) -> FloatArray:
    """How fast the arrival time grows towards a chart's first or `last` column, per km;
    one over the speed for a chart one column wide."""
    if times.shape[1] < 2:
        return 1.0 / (speed[:, -1] if last else speed[:, 0])
    change = times[:, -1] - times[:, -2] if last else times[:, 0] - times[:, 1]
    return change / cell_km


def solve(chart: Chart, speed: FloatArray, cell_km: float, seeds: list[Seed]) -> FloatArray:
    slowness = 1.0 / chart.gather(speed)
    return _kernels.eikonal_solve(np.ascontiguousarray(slowness), (cell_km, cell_km), seeds)


def front_times(charts: list[Chart], speed: FloatArray, depth: FloatArray, cell_km: float,
                start: int, first_seed: Seed) -> FloatArray:
    """Arrival times of every subfault, from `first_seed` on chart `start`."""
    times = np.empty_like(speed)
    solved = {start: solve(charts[start], speed, cell_km, [first_seed])}
    order = [*range(start + 1, len(charts)), *range(start - 1, -1, -1)]
    for number in order:
        neighbour = number - 1 if number > start else number + 1
        chart, before = charts[number], charts[neighbour]
        forward = number > start
        shared = 0 if forward else chart.shape[1] - 1
        their = before.shape[1] - 1 if forward else 0
        slope = edge_slope(solved[neighbour], before.gather(speed), cell_km, last=forward)
        seeds = edge_seeds(solved[neighbour][:, their], slope, before.gather(depth)[:, their],
                           chart.gather(depth)[:, shared], chart.gather(speed)[:, shared],
                           cell_km, shared)
        if not seeds:
            raise SettingError("planes", f"{chart.planes[0] + 1 if forward else chart.planes[-1] + 1}",
                               "shares no depth with its neighbour: the rupture cannot cross to it")
        solved[number] = solve(chart, speed, cell_km, seeds)
    for number, chart in enumerate(charts):
        chart.scatter(solved[number], times)
    return times
