"""What a rupture is, measured from what it writes: an SRF file's rupture times (TINIT),
slip-rate samples, slips, rakes, shear speeds and densities, and its PLANE block's
hypocentre. Nothing here looks at the fields or settings a rupture was built from.

- Rupture speed: ``1 / abs(grad TINIT)`` (the eikonal equation), on each cell by central
  differences and over square blocks of 2 km (or a fifth of the fault's width where that
  is smaller: `hypocentre.block_cells`) by a least-squares plane through the block's
  times. Near the hypocentre the front is a point and its gradient points every
  way: blocks and cells within `HYPOCENTRE_EXCLUSION_BLOCKS` blocks of it are left out.
- Rise time: the span of a point's non-zero samples (first to last, inclusive) times DT.
- Slip: the vector sum of SLIP1..3; rake: RAKE; rigidity DEN VS^2.
- Moment rate: every point's samples, from its TINIT, times its rigidity and area.

.. autosummary::

   written
   written_text
   measures
   Written
   PlaneGrids
   Measures
"""

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .. import brune, hypocentre
from ..pulses import nonzero_spans, slip_spans_s
from ..rupture import SLIP_THRESHOLD_M, TAPER_FRACTION, fine_cells_per_side
from . import vonkarman
from ..srf import (M2_TO_CM2, M_TO_CM, SrfError, SrfFile, SrfPoints, parse_srf,
                   srf_moment_rate, srf_moment_spectrum, srf_rigidity_pa)

__all__ = ["Written", "PlaneGrids", "Measures", "written", "written_text", "measures"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]

# Blocks (and cells) whose centre lies within this many block sides of the hypocentre are
# left out of the speed measures.
HYPOCENTRE_EXCLUSION_BLOCKS = 1.5


@dataclass(frozen=True, eq=False)
class PlaneGrids:
    """One plane of a written rupture as (rows down dip, columns along strike) grids.

    Attributes
    ----------
    length_km, width_km : float
        The plane's length and width, km.
    top_depth_km : float
        The depth of its top edge, km.
    start_km : float
        Where the plane starts along the fault's strike, km.
    slip_m : numpy.ndarray
        Slip, m.
    rake_deg : numpy.ndarray
        Rake, degrees.
    tinit_s : numpy.ndarray
        When slip starts (TINIT), s.
    rise_s : numpy.ndarray
        How long each point slips, s (the span of its non-zero samples); 0 without samples.
    peak_rate_m_s : numpy.ndarray
        Its largest slip rate, m/s; 0 without samples.
    vs_km_s : numpy.ndarray
        Shear-wave speed, km/s.
    rigidity_pa : numpy.ndarray
        DEN VS^2, Pa.
    depth_km : numpy.ndarray
        Depth, km.
    area_m2 : numpy.ndarray
        Area, m^2.
    """

    length_km: float
    width_km: float
    top_depth_km: float
    start_km: float  # where the plane starts along the fault's strike
    slip_m: FloatArray
    rake_deg: FloatArray
    tinit_s: FloatArray
    rise_s: FloatArray
    peak_rate_m_s: FloatArray
    vs_km_s: FloatArray
    rigidity_pa: FloatArray
    depth_km: FloatArray
    area_m2: FloatArray

    @property
    def cell_km(self) -> tuple[float, float]:
        """(along strike, down dip) cell sides, km."""
        rows, columns = self.slip_m.shape
        return self.length_km / columns, self.width_km / rows


@dataclass(frozen=True, eq=False)
class Written:
    """A rupture as a file gives it.

    Attributes
    ----------
    planes : list of PlaneGrids
        Its planes, in order.
    hypocentre : tuple
        (plane, km along strike in it from its first end, km down dip), from the PLANE block.
    dt_s : float
        The moment rate's sample interval, s.
    moment_nm : float
        The moment, N m: the sum of DEN VS^2 AREA SLIP.
    moment_rate_nm_s : numpy.ndarray
        The moment-rate function, N m/s, every `dt_s`.
    spectrum : tuple of numpy.ndarray
        Its amplitude spectrum (frequency, Hz; amplitude, N m) up to the Nyquist frequency
        of `dt_s`, alias-free (`srf_moment_spectrum`).
    """

    planes: list[PlaneGrids]
    hypocentre: tuple[int, float, float]
    dt_s: float
    moment_nm: float
    moment_rate_nm_s: FloatArray
    spectrum: tuple[FloatArray, FloatArray]

    @property
    def width_km(self) -> float:
        """The widest plane's width, km."""
        return max(plane.width_km for plane in self.planes)

    def every(self, name: str) -> FloatArray:
        """One per-point value over every plane, flat.

        Parameters
        ----------
        name : str
            An array attribute of `PlaneGrids`, such as ``"slip_m"``.

        Returns
        -------
        numpy.ndarray
            The values of every plane in turn.
        """
        return np.concatenate([getattr(plane, name).ravel() for plane in self.planes])


def row_peaks(offsets: IntArray, rates: FloatArray) -> FloatArray:
    """Each row's largest sample in magnitude, 0 for a row without samples."""
    peaks = np.zeros(offsets.size - 1)
    filled = np.flatnonzero(np.diff(offsets) > 0)
    if filled.size:
        peaks[filled] = np.maximum.reduceat(np.abs(rates), offsets[filled])
    return peaks


def rise_times_s(points: SrfPoints) -> tuple[FloatArray, FloatArray]:
    """(each point's rise time: from its first non-zero sample to the end of its last, the
    longest of its components', as `pulses.slip_spans_s` defines it for every reader of a
    file; its peak slip rate in m/s, the largest of its components')."""
    rise = np.zeros(len(points))
    peak = np.zeros(len(points))
    for offsets, rates in zip(points.offsets, points.rates):
        rise = np.maximum(rise, slip_spans_s(*nonzero_spans(offsets, rates), points.dt_s))
        peak = np.maximum(peak, row_peaks(offsets, rates) / M_TO_CM)
    return rise, peak


def hypocentre_of(srf: SrfFile) -> tuple[int, float, float]:
    """(plane, along strike from its first end, down dip) from the PLANE block: the first
    plane whose SHYP lies within its half length."""
    for number, plane in enumerate(srf.planes):
        along = plane.shyp_km + 0.5 * plane.length_km
        if -1e-6 <= along <= plane.length_km + 1e-6:
            return number, along, plane.dhyp_km
    raise SrfError("gives no plane whose SHYP lies on it: the hypocentre is not known")


def written(srf: SrfFile) -> Written:
    """A file's rupture on its planes' grids.

    Parameters
    ----------
    srf : SrfFile
        The file, as `read_srf` or `parse_srf` gives it.

    Returns
    -------
    Written
        Its rupture.

    Raises
    ------
    SrfError
        A file without a PLANE block whose cell counts add up to its points, or without VS
        and DEN on every point (version 1.0), or whose hypocentre lies on no plane.

    Examples
    --------
    >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
    >>> import io
    >>> rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
    ...                         RuptureSettings(magnitude=5.5))
    >>> text = io.StringIO()
    >>> rupture.write_srf(text)
    >>> found = written_text(text.getvalue())
    >>> f"{found.moment_nm / rupture.moment_nm:.3f}"
    '1.000'
    """
    points = srf.points
    sizes = [plane.nstk * plane.ndip for plane in srf.planes]
    if not srf.planes or sum(sizes) != len(points):
        raise SrfError("needs a PLANE block whose cell counts add up to its points to be measured")
    rigidity = srf_rigidity_pa(points)
    if not np.all(rigidity > 0):
        raise SrfError("needs VS and DEN on every point (SRF 2.0) to be measured")
    rise, peak = rise_times_s(points)
    dt, rate = srf_moment_rate(srf, rigidity)
    slip = points.total_slip_cm() / M_TO_CM
    area = points.area_cm2 / M2_TO_CM2
    starts = np.cumsum([0] + sizes)
    planes = []
    along = 0.0
    for number, plane in enumerate(srf.planes):
        part = slice(int(starts[number]), int(starts[number + 1]))

        def grid(values: FloatArray) -> FloatArray:
            return np.asarray(values[part], dtype=np.float64).reshape(plane.ndip, plane.nstk)

        planes.append(PlaneGrids(
            plane.length_km, plane.width_km, plane.top_depth_km, along, grid(slip), grid(points.rake_deg),
            grid(points.tinit_s), grid(rise), grid(peak), grid(points.vs_cm_s / 1e5),
            grid(rigidity), grid(points.depth_km), grid(area)))
        along += plane.length_km
    moment = float((rigidity * area * slip).sum())
    return Written(planes, hypocentre_of(srf), dt, moment, rate, srf_moment_spectrum(srf, rigidity))


def written_text(text: str) -> Written:
    """The rupture of an SRF file's text.

    Parameters
    ----------
    text : str
        The whole file.

    Returns
    -------
    Written
        As `written` gives it.

    Raises
    ------
    SrfError
        Text that is not SRF, or that `written` cannot measure.
    """
    return written(parse_srf(text))


# ---- Local rupture speed -------------------------------------------------------------------


def block_cells(plane: PlaneGrids, width_km: float) -> int:
    """Cells along a block's side (`hypocentre.block_cells`: 2 km, or a fifth of the
    fault's width where that is smaller)."""
    return hypocentre.block_cells(cell_km=min(plane.cell_km), width_km=width_km)


def blocks(values: FloatArray, n: int) -> FloatArray:
    """The whole n x n blocks of a grid, from its top left: (block rows, block columns,
    n, n)."""
    rows, columns = values.shape[0] // n, values.shape[1] // n
    return values[:rows * n, :columns * n].reshape(rows, n, columns, n).swapaxes(1, 2)


def block_means(values: FloatArray, n: int) -> FloatArray:
    return blocks(values, n).mean(axis=(2, 3))


def block_speeds_km_s(tinit_s: FloatArray, n: int, cell_km: tuple[float, float]) -> FloatArray:
    """1 / |grad T| of the least-squares plane through each n x n block's times."""
    offsets = np.arange(n) - 0.5 * (n - 1)
    along = offsets * cell_km[0]
    down = offsets * cell_km[1]
    times = blocks(tinit_s, n)
    # On a centred square grid the two slopes are uncorrelated: each is its own regression.
    slope_along = np.einsum("...ij,j->...", times, along) / (n * (along**2).sum())
    slope_down = np.einsum("...ij,i->...", times, down) / (n * (down**2).sum())
    slowness = np.hypot(slope_along, slope_down)
    with np.errstate(divide="ignore"):
        return np.where(slowness > 0, 1.0 / slowness, np.inf)


def cell_speeds_km_s(tinit_s: FloatArray, cell_km: tuple[float, float]) -> FloatArray:
    """1 / |grad T| on every cell, by central differences (one-sided at the edges)."""
    slowness2 = np.zeros_like(tinit_s)
    for axis, step in ((1, cell_km[0]), (0, cell_km[1])):
        if tinit_s.shape[axis] > 1:
            slowness2 += np.gradient(tinit_s, step, axis=axis) ** 2
    with np.errstate(divide="ignore"):
        return np.where(slowness2 > 0, 1.0 / np.sqrt(slowness2), np.inf)


def away_from_hypocentre(rupture: Written, number: int, along_km: npt.ArrayLike,
                         down_km: npt.ArrayLike, block_km: float) -> BoolArray:
    """Whether points of plane `number` lie farther from the hypocentre than
    HYPOCENTRE_EXCLUSION_BLOCKS blocks (every point of another plane does)."""
    plane, along, down = rupture.hypocentre
    if plane != number:
        return np.ones(np.broadcast(along_km, down_km).shape, dtype=bool)
    reach = HYPOCENTRE_EXCLUSION_BLOCKS * block_km
    return np.asarray(np.hypot(np.asarray(along_km) - along, np.asarray(down_km) - down) > reach)


@dataclass(frozen=True, eq=False)
class LocalValues:
    """Values of every block (or cell) kept for the speed measures, flat: the speed over
    the mean shear speed, slip, depth, and which row of blocks each lies in (numbered
    over the whole fault, so that a row is one depth)."""

    speed_ratio: FloatArray
    slip_m: FloatArray
    depth_km: FloatArray
    row: IntArray


def block_values(rupture: Written) -> LocalValues:
    ratios, slips, depths, rows = [], [], [], []
    for number, plane in enumerate(rupture.planes):
        n = block_cells(plane, rupture.width_km)
        cell = plane.cell_km
        speed = block_speeds_km_s(plane.tinit_s, n, cell)
        if not speed.size:
            continue
        block_rows, block_columns = speed.shape
        along = (np.arange(block_columns) + 0.5) * n * cell[0]
        down = (np.arange(block_rows) + 0.5) * n * cell[1]
        keep = away_from_hypocentre(rupture, number, along[None, :], down[:, None],
                                    n * cell[0]) & np.isfinite(speed)
        ratios.append((speed / block_means(plane.vs_km_s, n))[keep])
        slips.append(block_means(plane.slip_m, n)[keep])
        depths.append(block_means(plane.depth_km, n)[keep])
        rows.append(np.broadcast_to(np.arange(block_rows)[:, None], speed.shape)[keep])
    if not ratios:
        empty = np.zeros(0)
        return LocalValues(empty, empty, empty, np.zeros(0, dtype=np.int64))
    return LocalValues(np.concatenate(ratios), np.concatenate(slips), np.concatenate(depths),
                       np.concatenate(rows).astype(np.int64))


def cell_speed_ratios(rupture: Written) -> FloatArray:
    """Every cell's speed over its shear speed, away from the hypocentre."""
    ratios = []
    for number, plane in enumerate(rupture.planes):
        n = block_cells(plane, rupture.width_km)
        rows, columns = plane.tinit_s.shape
        along = (np.arange(columns) + 0.5) * plane.cell_km[0]
        down = (np.arange(rows) + 0.5) * plane.cell_km[1]
        keep = away_from_hypocentre(rupture, number, along[None, :], down[:, None],
                                    n * plane.cell_km[0])
        ratios.append((cell_speeds_km_s(plane.tinit_s, plane.cell_km) / plane.vs_km_s)[keep])
    return np.concatenate(ratios)


# ---- Slip, rise time, rake, hypocentre ------------------------------------------------------


def mean_rake_deg(rupture: Written) -> float:
    """The slip-weighted circular mean of the rakes."""
    weight = rupture.every("slip_m") * rupture.every("area_m2")
    angle = np.radians(rupture.every("rake_deg"))
    return math.degrees(math.atan2(float((weight * np.sin(angle)).sum()),
                                   float((weight * np.cos(angle)).sum())))


def rake_spread_deg(rupture: Written) -> float:
    """The slip-weighted standard deviation of the rakes about their mean (degrees)."""
    weight = rupture.every("slip_m") * rupture.every("area_m2")
    mean = mean_rake_deg(rupture)
    offset = (rupture.every("rake_deg") - mean + 180.0) % 360.0 - 180.0
    return math.sqrt(float((weight * offset**2).sum() / weight.sum()))


def hypocentre_slip_fraction(rupture: Written) -> float:
    """The slip at the hypocentre over the fault's largest, both averaged over a block as
    the speeds are (Mai et al. 2005 read slip models of a few km a subfault): the block
    centred on the hypocentre's cell against the largest block anywhere on the fault."""
    number, along, down = rupture.hypocentre
    means = [hypocentre.centred_block_means(plane.slip_m, block_cells(plane, rupture.width_km))
             for plane in rupture.planes]
    largest = max(float(grid.max()) for grid in means)
    rows, columns = rupture.planes[number].slip_m.shape
    row = min(int(down / rupture.planes[number].cell_km[1]), rows - 1)
    column = min(int(along / rupture.planes[number].cell_km[0]), columns - 1)
    return float(means[number][row, column]) / largest if largest > 0 else 0.0


# ---- Slip -------------------------------------------------------------------------------------

# Somerville et al. (1999): before a slip model is measured, rows and columns at its edges
# whose average slip is below 0.3 times the model's average are trimmed off; asperities
# are where slip is at least 1.5 times the trimmed model's average.
SOMERVILLE_1999_TRIM_FRACTION = 0.3
SOMERVILLE_1999_ASPERITY_THRESHOLD = 1.5


def slip_grid(rupture: Written) -> FloatArray:
    """The slip of the whole fault as one grid: the planes side by side when they have as
    many rows, else the first plane's."""
    grids = [plane.slip_m for plane in rupture.planes]
    if len({grid.shape[0] for grid in grids}) == 1:
        return np.hstack(grids)
    return grids[0]


def trimmed(slip: FloatArray) -> FloatArray:
    """The slip grid with edge rows and columns of low average slip removed, the lowest
    first, one at a time (Somerville et al. 1999)."""
    top, bottom, left, right = 0, slip.shape[0], 0, slip.shape[1]
    while bottom - top > 1 and right - left > 1:
        part = slip[top:bottom, left:right]
        edges = {"top": part[0].mean(), "bottom": part[-1].mean(),
                 "left": part[:, 0].mean(), "right": part[:, -1].mean()}
        lowest = min(edges, key=lambda edge: edges[edge])
        if edges[lowest] >= SOMERVILLE_1999_TRIM_FRACTION * part.mean():
            break
        top += lowest == "top"
        bottom -= lowest == "bottom"
        left += lowest == "left"
        right -= lowest == "right"
    return slip[top:bottom, left:right]


def asperities(slip: FloatArray) -> tuple[float, float]:
    """(area fraction, slip contrast) of the asperities of a slip grid: the share of the
    trimmed rupture's cells whose slip is at least 1.5 times its average, and their average
    slip over the rupture's (Somerville et al. 1999, cell by cell)."""
    rupture = trimmed(slip)
    mean = float(rupture.mean())
    asperity = rupture >= SOMERVILLE_1999_ASPERITY_THRESHOLD * mean
    if not asperity.any():
        return 0.0, 0.0
    return float(asperity.mean()), float(rupture[asperity].mean()) / mean


def interior(plane: PlaneGrids, fault_length_km: float) -> tuple[slice, slice]:
    """A plane's cells where slip is not tapered: the builder tapers it over
    `rupture.TAPER_FRACTION` of the plane's width at the bottom (and at the top unless the
    plane reaches the surface) and of the fault's length at the fault's two ends."""
    rows, columns = plane.slip_m.shape
    down = math.ceil(TAPER_FRACTION * rows - 0.5)
    top = down if plane.top_depth_km > 0 else 0
    cell = plane.cell_km[0]
    along = plane.start_km + (np.arange(columns) + 0.5) * cell
    taper = TAPER_FRACTION * fault_length_km
    # A cell's centre at least the taper's length (less rounding) from either end of the fault.
    clear = np.flatnonzero((along >= taper - 1e-9 * cell)
                           & (fault_length_km - along >= taper - 1e-9 * cell))
    if not clear.size:
        return slice(top, rows - down), slice(0, 0)
    return slice(top, rows - down), slice(int(clear[0]), int(clear[-1]) + 1)


def widest_interior(rupture: Written) -> tuple[slice, slice, PlaneGrids]:
    """The untapered window of the plane with the most untapered cells, whose slip
    spectrum is fitted, and that plane."""
    length = sum(plane.length_km for plane in rupture.planes)

    def cells(plane: PlaneGrids) -> int:
        rows, columns = interior(plane, length)
        return len(range(*rows.indices(plane.slip_m.shape[0]))) * len(
            range(*columns.indices(plane.slip_m.shape[1])))
    plane = max(rupture.planes, key=cells)
    rows, columns = interior(plane, length)
    return rows, columns, plane


def log_slip_window(rows: slice, columns: slice,
                    plane: PlaneGrids) -> tuple[FloatArray, float, float, int]:
    """Log slip on the untapered interior, every n-th cell so that it holds at most
    `vonkarman.FIT_CELLS`; the cell size of that grid; and a cell's side and how many of
    the front's fine cells span it, whose mean its slip is (0 and 1: a cell's slip is the
    field's at its centre). Slip below the pulses' threshold counts as the threshold."""
    window = plane.slip_m[rows, columns]
    step = vonkarman.stride(window.size)
    values = np.log(np.maximum(window[::step, ::step], SLIP_THRESHOLD_M))
    cell = plane.cell_km[0]
    points = fine_cells_per_side(cell)
    return values, step * cell, cell if points > 1 else 0.0, points


# ---- One rupture's measures -----------------------------------------------------------------

# The spectrum is compared up to this frequency, or less where the cells resolve less (the
# slowest twentieth of the measured cell speeds over twice the cell) or the sampling does
# (this fraction of the Nyquist frequency).
SPECTRUM_HIGHEST_HZ = 5.0
NYQUIST_FRACTION = 0.8
SPECTRUM_LOWEST_HZ = 0.01
SLOW_PERCENTILE = 5.0
# Points of a rupture kept for the figures' scatter plots, at most.
PLOT_POINTS = 600


@dataclass(frozen=True, eq=False)
class Measures:
    """What the validation keeps of one written rupture. Pooled statistics keep their sums
    (`sums`), so that an ensemble's value and its jackknife error come from them.

    Attributes
    ----------
    seed : int
        The rupture's seed.
    moment_nm, target_moment_nm : float
        Its moment, and the moment asked for, N m.
    duration_s : float
        When its last point stops slipping, s.
    mean_slip_m : float
        The area-weighted mean slip over the slipping points, m.
    mean_rise_s, longest_rise_s : float
        The mean and longest rise time of the slipping points, s.
    shortest_rise_share : float
        The share of slipping points at the shortest rise time (within half a sample).
    peak_rate_m_s : numpy.ndarray
        The 50th, 90th and 99th percentiles of peak slip rate over slipping points, m/s.
    mean_rake_deg, rake_spread_deg : float
        The slip-weighted circular mean rake and its spread, degrees.
    hypocentre_slip : float
        The slip of the hypocentre's block over the largest block's.
    hypocentre_km : tuple of float
        (along strike from the fault's first end, down dip), km.
    source_vs_m_s : float
        The slip-weighted mean VS, m/s: Brune's beta.
    asperity_fraction, asperity_contrast : float
        The area of Somerville et al.'s (1999) asperities over the rupture's, and their mean
        slip over its.
    slip_periodogram : numpy.ndarray
        The periodogram of log slip on the widest plane's untapered interior.
    fit_cell_km : float
        The cell of that window, km (its subsampling included).
    fit_averaged_km, fit_points : float, int
        The side each of its values is the slip's mean over, km, and the fine cells along
        it; 0 and 1 for the slip at points.
    corner_hz : float
        The Brune corner frequency fitted to the moment rate's spectrum, Hz; NaN when the
        cells resolve nothing above `SPECTRUM_LOWEST_HZ`.
    spectrum_hz, spectrum_nm : numpy.ndarray
        The moment rate's amplitude spectrum up to `highest_hz`: frequencies (Hz) and
        amplitudes (N m), kept whole so that an ensemble's ruptures can be banded alike up
        to the lowest of their limits.
    highest_hz : float
        The highest frequency compared, Hz.
    sums : dict of str to float
        The sums of the pooled speed statistics.
    plot_ratio, plot_depth_km, plot_slip : numpy.ndarray
        A thinned sample of the blocks' Vr / Vs, depths (km) and slips (m), for figures.
    """

    seed: int
    moment_nm: float
    target_moment_nm: float
    duration_s: float
    mean_slip_m: float
    mean_rise_s: float
    longest_rise_s: float
    shortest_rise_share: float
    peak_rate_m_s: FloatArray  # the 50th, 90th and 99th percentiles over slipping points
    mean_rake_deg: float
    rake_spread_deg: float
    hypocentre_slip: float
    hypocentre_km: tuple[float, float]  # along strike from the fault's first end, down dip
    source_vs_m_s: float  # the slip-weighted mean VS, Brune's beta
    asperity_fraction: float
    asperity_contrast: float
    slip_periodogram: FloatArray
    fit_cell_km: float
    fit_averaged_km: float
    fit_points: int
    corner_hz: float
    spectrum_hz: FloatArray
    spectrum_nm: FloatArray
    highest_hz: float
    sums: dict[str, float]
    plot_ratio: FloatArray
    plot_depth_km: FloatArray
    plot_slip: FloatArray


def centred_within_rows(values: FloatArray, row: IntArray) -> FloatArray:
    """Values about the mean of their row of blocks (one depth)."""
    counts = np.bincount(row)
    means = np.bincount(row, values) / np.maximum(counts, 1)
    return np.asarray(values - means[row], dtype=np.float64)


def speed_sums(local: LocalValues, cells: FloatArray) -> dict[str, float]:
    """Sums for the pooled speed statistics: the mean speed ratio below 8 km and above
    5 km (the shallow zone of Graves and Pitarka 2010), the correlation of speed with slip
    about each depth's mean, and the cells faster than the shear speed."""
    deep = local.depth_km >= DEEP_KM
    shallow = local.depth_km <= SHALLOW_KM
    x = centred_within_rows(local.slip_m, local.row)
    y = centred_within_rows(local.speed_ratio, local.row)
    finite = cells[np.isfinite(cells)]
    return {"deep_ratio": float(local.speed_ratio[deep].sum()), "deep_count": float(deep.sum()),
            "shallow_ratio": float(local.speed_ratio[shallow].sum()),
            "shallow_count": float(shallow.sum()),
            "speed_xy": float((x * y).sum()), "speed_xx": float((x * x).sum()),
            "speed_yy": float((y * y).sum()),
            "supershear": float((cells > 1.0).sum()), "cells": float(cells.size),
            "supershear_finite": float(finite.size)}


# Depths (km) below which rupture speeds count as deep and above which as shallow: the
# shallow zone of Graves and Pitarka (2010), 5 km, and its ramp's end at 8 km.
SHALLOW_KM = 5.0
DEEP_KM = 8.0


def resolved_hz(rupture: Written, cells: FloatArray) -> float:
    """The highest frequency compared: 5 Hz, or what the cells resolve (the slowest
    twentieth of the cell speeds over twice the cell), or 0.8 times Nyquist."""
    speeds = np.concatenate([cell_speeds_km_s(p.tinit_s, p.cell_km).ravel() for p in rupture.planes])
    speeds = speeds[np.isfinite(speeds)]
    cell = max(max(p.cell_km) for p in rupture.planes)
    resolved = float(np.percentile(speeds, SLOW_PERCENTILE)) / (2.0 * cell) if speeds.size else math.inf
    return min(SPECTRUM_HIGHEST_HZ, resolved, NYQUIST_FRACTION * 0.5 / rupture.dt_s)


def thin(values: FloatArray, count: int) -> FloatArray:
    step = max(1, math.ceil(values.size / count))
    return np.asarray(values[::step], dtype=np.float64)


def measures(rupture: Written, seed: int, target_moment_nm: float) -> Measures:
    """Every measure of one written rupture.

    Parameters
    ----------
    rupture : Written
        The rupture, as its file gives it.
    seed : int
        Its seed, recorded.
    target_moment_nm : float
        The moment it was asked for, N m.

    Returns
    -------
    Measures
        Its measures.
    """
    slip = rupture.every("slip_m")
    slipping = slip > 0
    rise = rupture.every("rise_s")[slipping]
    peaks = rupture.every("peak_rate_m_s")[slipping]
    ends = (rupture.every("tinit_s") + rupture.every("rise_s"))[slipping]
    area = rupture.every("area_m2")
    local = block_values(rupture)
    cells = cell_speed_ratios(rupture)
    highest = resolved_hz(rupture, cells)
    frequency, amplitude = rupture.spectrum
    kept = frequency <= highest
    corner = (brune.fit_corner(frequency, amplitude, rupture.moment_nm, highest)
              if highest > SPECTRUM_LOWEST_HZ else math.nan)
    shortest = float(rise.min()) if rise.size else 0.0
    fraction, contrast = asperities(slip_grid(rupture))
    window, fit_cell, averaged, points = log_slip_window(*widest_interior(rupture))
    return Measures(
        seed=seed, moment_nm=rupture.moment_nm, target_moment_nm=target_moment_nm,
        duration_s=float(ends.max()) if ends.size else 0.0,
        mean_slip_m=float((slip * area).sum() / area[slipping].sum()) if slipping.any() else 0.0,
        mean_rise_s=float(rise.mean()) if rise.size else 0.0,
        longest_rise_s=float(rise.max()) if rise.size else 0.0,
        shortest_rise_share=float(np.mean(rise < shortest + 0.5 * rupture.dt_s)) if rise.size else 0.0,
        peak_rate_m_s=np.percentile(peaks, [50.0, 90.0, 99.0]) if peaks.size else np.zeros(3),
        mean_rake_deg=mean_rake_deg(rupture), rake_spread_deg=rake_spread_deg(rupture),
        hypocentre_slip=hypocentre_slip_fraction(rupture),
        hypocentre_km=(rupture.planes[rupture.hypocentre[0]].start_km + rupture.hypocentre[1],
                       rupture.hypocentre[2]),
        source_vs_m_s=1e3 * float((rupture.every("vs_km_s") * slip * area).sum()
                                  / (slip * area).sum()) if slipping.any() else math.nan,
        asperity_fraction=fraction,
        asperity_contrast=contrast, slip_periodogram=vonkarman.periodogram(window),
        fit_cell_km=fit_cell, fit_averaged_km=averaged, fit_points=points, corner_hz=corner,
        spectrum_hz=frequency[kept], spectrum_nm=amplitude[kept], highest_hz=highest,
        sums=speed_sums(local, cells),
        plot_ratio=thin(local.speed_ratio, PLOT_POINTS), plot_depth_km=thin(local.depth_km, PLOT_POINTS),
        plot_slip=thin(local.slip_m, PLOT_POINTS))
