"""Subfaults grouped into patches, and each patch's moment tensor through time.

A rupture file has far more subfaults than the Green's functions of a band need source
points: waves up to the band's highest frequency cannot tell apart sources whose travel
times to a station differ by a small part of the shortest period. A patch is a rectangle
of whole cells of one plane whose half-diagonal r satisfies

    r / Vs_min <= PATCH_TRAVEL_TIME_FRACTION / f_max

with Vs_min the slowest shear-wave speed of the crust over the patch's depths. Every
subfault lies within r of its patch's centre, and the travel time of any wave changes by
at most 1/Vs per km the source moves (no wave leaves a source slower than shear waves
there), so the waveform of every subfault is taken from the patch centre with a time
error below an eighth of the shortest period. Against every subfault summed on its
own, the velocity seismograms of patches differ by at most 7% (rms of the difference over
rms, three components; median 2%) on the tests' 4 km x 3 km rupture in 0.5 km cells at
0.5 Hz, and 3% in 0.25 km cells (tests/modeller/test_shaking.py); a sixth gives 15% and 5%. A cell whose own half-diagonal breaks the
rule is a patch by itself. A patch's rows lie in one layer of the crust: a point source's
waves depend on the rock it sits in, so a patch never straddles an interface.

Each patch keeps its subfaults' mechanisms and timing exactly: its source is six moment
series, (Mxx, Myy, Mzz, Mxy, Mxz, Myz) in Aki and Richards' frame (x north, y east, z
down), each the sum over its subfaults of the unit tensor of their strike, dip and rake
(Aki and Richards 2002, Box 4.4) times mu A times the slip rate, at the subfaults' own
rupture times. Slip along RAKE + 90 (SLIP2) has the tensor of that rake; opening (SLIP3)
is not a double couple and is refused.

.. autosummary::

   group
   Patches
   patch_moments
   unit_tensors
   point_rigidity
   source_samples
   largest_radius_km
   PatchError
"""

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .crust import GenericCrust, LayeredModel, rigidity_pa
from .rupture_surface import Rectangle, Surface
from .srf import M2_TO_CM2, M_TO_CM, SrfFile, srf_rigidity_pa

__all__ = ["group", "Patches", "patch_moments", "unit_tensors", "point_rigidity",
           "source_samples", "largest_radius_km", "PatchError", "PATCH_TRAVEL_TIME_FRACTION"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

# The largest travel-time difference between a subfault and its patch's centre, as a
# fraction of the shortest period of the band.
PATCH_TRAVEL_TIME_FRACTION = 1.0 / 8.0
# Depths (km) at which the crust's slowest shear speed over a patch is looked for, besides
# its layer tops.
SPEED_SAMPLES = 16


class PatchError(ValueError):
    """A file whose slip cannot be summed as double couples (opening slip, SLIP3), or that
    starts before 0 s (a negative TINIT)."""


@dataclass(frozen=True, eq=False)
class Patches:
    """Patches of a rupture surface, made by `group`; ``len(patches)`` is their number.

    Attributes
    ----------
    of_point : numpy.ndarray of int
        Each point's patch, in the file's order of points.
    x_km, y_km : numpy.ndarray
        The patches' centres in the surface's local frame, km east and north.
    depth_km : numpy.ndarray
        Their depths, km.
    lon, lat : numpy.ndarray
        Their centres, degrees.
    largest_radius_km : float
        The largest half-diagonal of any patch, km.
    """

    of_point: IntArray
    x_km: FloatArray
    y_km: FloatArray
    depth_km: FloatArray
    lon: FloatArray
    lat: FloatArray
    # The largest half-diagonal of any patch (km), and the bound it kept to.
    largest_radius_km: float

    def __len__(self) -> int:
        return len(self.depth_km)


def slowest_shear_speed(crust: GenericCrust | LayeredModel, top_km: float,
                        bottom_km: float) -> float:
    """The slowest shear-wave speed of the crust between two depths."""
    depths = np.linspace(top_km, bottom_km, SPEED_SAMPLES)
    if isinstance(crust, LayeredModel):
        tops = np.asarray(crust.top_km)
        depths = np.concatenate([depths, tops[(tops > top_km) & (tops < bottom_km)]])
    return float(crust.shear_speed_km_s(depths).min())


def largest_radius_km(crust: GenericCrust | LayeredModel, top_km: float, bottom_km: float,
                      max_frequency_hz: float) -> float:
    """The largest half-diagonal the rule allows a patch spanning two depths:
    `PATCH_TRAVEL_TIME_FRACTION` times the slowest shear-wave speed between them over the
    band's top.

    Parameters
    ----------
    crust : GenericCrust or LayeredModel
        The crust.
    top_km, bottom_km : float
        The patch's depths, km.
    max_frequency_hz : float
        The band's top, Hz.

    Returns
    -------
    float
        km.
    """
    return (PATCH_TRAVEL_TIME_FRACTION * slowest_shear_speed(crust, top_km, bottom_km)
            / max_frequency_hz)


def layer_numbers(crust: GenericCrust | LayeredModel, depth_km: FloatArray) -> IntArray:
    """The layer of each depth (all 0 in the smooth generic crust)."""
    if isinstance(crust, LayeredModel):
        return crust.layer_of(depth_km).astype(np.int64)
    return np.zeros(len(depth_km), dtype=np.int64)


def even_split(count: int, parts: int) -> list[int]:
    """`count` items in `parts` runs whose lengths differ by at most one."""
    return [count // parts + (1 if k < count % parts else 0) for k in range(parts)]


def rectangle_patches(rect: Rectangle, crust: GenericCrust | LayeredModel,
                      max_frequency_hz: float) -> list[tuple[int, int, int, int]]:
    """(first row, rows, first column, columns) of each patch of one plane: bands of rows
    down dip, each as many rows as keeps its patches square-ish within the rule, cut
    along strike into equal runs of columns."""
    along = rect.length_km / rect.columns
    down = rect.width_km / rect.rows
    sine = math.sin(math.radians(rect.dip_deg))

    def depth(row: Any) -> Any:
        return rect.top_depth_km + row * down * sine

    def radius(first: int, rows: int) -> float:
        return largest_radius_km(crust, depth(first), depth(first + rows), max_frequency_hz)

    layers = layer_numbers(crust, depth(np.arange(rect.rows) + 0.5))
    patches = []
    row = 0
    while row < rect.rows:
        rows = max(1, min(rect.rows - row, math.floor(math.sqrt(2.0) * radius(row, 1) / down)))
        while rows > 1 and (math.hypot(along, rows * down) > 2.0 * radius(row, rows)
                            or layers[row + rows - 1] != layers[row]):
            rows -= 1
        bound = radius(row, rows)
        half_along = math.sqrt(max(bound**2 - (0.5 * rows * down) ** 2, 0.0))
        per_patch = max(1, math.floor(2.0 * half_along / along))
        column = 0
        for columns in even_split(rect.columns, math.ceil(rect.columns / per_patch)):
            patches.append((row, rows, column, columns))
            column += columns
        row += rows
    return patches


def group(surface: Surface, point_x: FloatArray, point_y: FloatArray,
          crust: GenericCrust | LayeredModel, max_frequency_hz: float) -> Patches:
    """Patches of every plane (see the module's description for the rule). A centre's
    position is the mean of its points'; its depth that of the middle of its rows on the
    plane, the same for every patch of a row.

    Parameters
    ----------
    surface : Surface
        The rupture's surface (`rupture_surface.surface_of`).
    point_x, point_y : numpy.ndarray
        The points' positions in the surface's local frame, km east and north.
    crust : GenericCrust or LayeredModel
        The crust whose shear-wave speeds bound the patches.
    max_frequency_hz : float
        The band's top, Hz.

    Returns
    -------
    Patches
        Every point's patch and the patches' centres.
    """
    of_point = np.empty(surface.point_count, dtype=np.int64)
    row_depths: list[float] = []
    largest = 0.0
    for rect in surface.rectangles:
        grid = np.arange(rect.rows * rect.columns).reshape(rect.rows, rect.columns) + rect.first
        along = rect.length_km / rect.columns
        down = rect.width_km / rect.rows
        sine = math.sin(math.radians(rect.dip_deg))
        for row, rows, column, columns in rectangle_patches(rect, crust, max_frequency_hz):
            of_point[grid[row:row + rows, column:column + columns].ravel()] = len(row_depths)
            row_depths.append(rect.top_depth_km + (row + 0.5 * rows) * down * sine)
            largest = max(largest, 0.5 * math.hypot(rows * down, columns * along))
    number = len(row_depths)
    counts = np.bincount(of_point, minlength=number).astype(np.float64)
    x = np.bincount(of_point, point_x, minlength=number) / counts
    y = np.bincount(of_point, point_y, minlength=number) / counts
    lon, lat = surface.geographic(x, y)
    return Patches(of_point, x, y, np.array(row_depths), lon, lat, largest)


# ---- Moment tensors --------------------------------------------------------------------------


def unit_tensors(strike_deg: FloatArray, dip_deg: FloatArray, rake_deg: FloatArray) -> FloatArray:
    """Unit double couples of fault mechanisms (Aki and Richards 2002, Box 4.4).

    Parameters
    ----------
    strike_deg, dip_deg, rake_deg : numpy.ndarray
        The mechanisms, degrees.

    Returns
    -------
    numpy.ndarray
        (n, 6): (Mxx, Myy, Mzz, Mxy, Mxz, Myz) of unit moment, x north, y east, z down.

    Examples
    --------
    A vertical strike-slip fault striking north: Mxy = 1.

    >>> (unit_tensors([0.0], [90.0], [0.0]).round(12) + 0.0).tolist()
    [[0.0, 0.0, 0.0, 1.0, 0.0, 0.0]]
    """
    phi, delta, lam = (np.radians(np.asarray(a, dtype=np.float64))
                       for a in (strike_deg, dip_deg, rake_deg))
    sd, cd, s2d, c2d = np.sin(delta), np.cos(delta), np.sin(2 * delta), np.cos(2 * delta)
    sl, cl = np.sin(lam), np.cos(lam)
    sp, cp, s2p, c2p = np.sin(phi), np.cos(phi), np.sin(2 * phi), np.cos(2 * phi)
    return np.stack([
        -(sd * cl * s2p + s2d * sl * sp**2),
        sd * cl * s2p - s2d * sl * cp**2,
        s2d * sl,
        sd * cl * c2p + 0.5 * s2d * sl * s2p,
        -(cd * cl * cp + c2d * sl * sp),
        -(cd * cl * sp - c2d * sl * cp),
    ], axis=-1)


def point_rigidity(srf_file: SrfFile, crust: GenericCrust | LayeredModel) -> FloatArray:
    """The rigidity of every point: from VS and DEN where the file gives them, else the
    crust's at the point's depth.

    Parameters
    ----------
    srf_file : SrfFile
        The rupture file.
    crust : GenericCrust or LayeredModel
        The crust for points without VS and DEN.

    Returns
    -------
    numpy.ndarray
        Pa, one a point.
    """
    points = srf_file.points
    given = srf_rigidity_pa(points)
    fallback = rigidity_pa(crust.shear_speed_km_s(points.depth_km),
                           crust.density_g_cm3(points.depth_km))
    return np.where(given > 0, given, fallback)


def source_samples(srf_file: SrfFile, dt_s: float) -> int:
    """Samples at an interval from 0 to past the last slip-rate sample of the file.

    Parameters
    ----------
    srf_file : SrfFile
        The rupture file.
    dt_s : float
        The interval, s.

    Returns
    -------
    int
        The samples (1 for a file without points).
    """
    points = srf_file.points
    ends = [points.tinit_s + np.maximum(np.diff(offsets) - 1, 0) * points.dt_s
            for offsets in points.offsets]
    return int(math.floor(float(np.max(ends)) / dt_s)) + 2 if len(points) else 1


def patch_moments(srf_file: SrfFile, patches: Patches, rigidity_pa: FloatArray, dt_s: float,
                  samples: int) -> FloatArray:
    """The moment each patch releases in each interval from 0, per tensor component. Slip-rate
    sample m of a point is at TINIT + m DT and releases mu A SR DT; one that falls between
    two grid times is shared between them in proportion to its nearness, as the moment rate
    of a rupture is (`moment.moment_rate`).

    Parameters
    ----------
    srf_file : SrfFile
        The rupture file.
    patches : Patches
        Its patches (`group`).
    rigidity_pa : numpy.ndarray
        Each point's rigidity, Pa (`point_rigidity`).
    dt_s : float
        The interval, s.
    samples : int
        The intervals, at least `source_samples`.

    Returns
    -------
    numpy.ndarray
        (patches, 6, samples): (Mxx, Myy, Mzz, Mxy, Mxz, Myz), N m.

    Raises
    ------
    PatchError
        A file with opening slip (SLIP3) or a negative TINIT.
    """
    points = srf_file.points
    if np.any(points.slip_cm[2] != 0) or np.diff(points.offsets[2]).any():
        raise PatchError("has opening slip (SLIP3), which is not a double couple; shake sums "
                         "slip along RAKE and RAKE + 90 only")
    if np.any(points.tinit_s < 0):
        raise PatchError("has points with a negative TINIT; shake starts its seismograms at 0 s")
    moments = np.zeros((len(patches), 6, samples))
    area_m2 = points.area_cm2 / M2_TO_CM2
    for component, extra_rake in ((0, 0.0), (1, 90.0)):
        offsets = points.offsets[component]
        counts = np.diff(offsets)
        if not counts.any():
            continue
        tensors = unit_tensors(points.strike_deg, points.dip_deg, points.rake_deg + extra_rake)
        owner = np.repeat(np.arange(len(points)), counts)
        step = np.arange(owner.size) - offsets[:-1][owner]
        at = (points.tinit_s[owner] + step * points.dt_s[owner]) / dt_s
        grid = np.floor(at).astype(np.int64)
        share = at - grid
        released = (points.rates[component] / M_TO_CM * points.dt_s[owner]
                    * (rigidity_pa * area_m2)[owner])
        patch = patches.of_point[owner]
        for c in range(6):
            weight = released * tensors[owner, c]
            index = patch * samples + grid  # grid + 1 < samples: see source_samples
            total = np.bincount(index, weight * (1.0 - share), minlength=len(patches) * samples)
            total[1:] += np.bincount(index, weight * share,
                                     minlength=len(patches) * samples)[:-1]
            moments[:, c, :] += total[:len(patches) * samples].reshape(len(patches), samples)
    return moments
