"""Ground motion at stations: every patch's moment tensor series through the Green's
functions of a layered crust, summed.

The Green's functions (kinematic_rupture.greens) give the free-surface displacement for a
step in moment at a table of source depths and epicentral distances. This module chooses
that table for a fault and a set of stations so that every rupture of an ensemble on the
same fault and stations takes the same one (and so the cached one):

- depths: each patch centre's depth (to the metre), one row per row of patches;
- distances: a regular grid from the nearest patch-station distance to the farthest,
  DISTANCE_STEP_WAVELENGTHS of the shortest wavelength of a wave crossing the surface at
  SLOWEST_APPARENT_SPEED_KM_S at the band's highest frequency apart (0.15 km for a 1 Hz
  band). A patch's waveform at its own distance is the cubic through the four
  neighbouring distances of the grid (`interpolation`; the grid has a distance more at
  either end for it, and only a pair nearer than a step or two to 0 km takes the
  straight line of the grid's first interval), whose amplitude error halfway at that frequency is
  1 - (9 cos(kh/2) - cos(3kh/2)) / 8 = 1.7% for the slowest waves (kh = 2 pi 0.15) and
  less for any faster one. Measured in the shipped Mojave crust at 1 Hz halfway between
  grid distances (rms of the velocity's error over its rms, at 2, 10 and 40 km): 2.6%,
  1.7% and 0.1% for a source at 0.15 km, under 0.8% at 0.6 km, under 0.03% from 3 km
  down. The straight line on a 0.1 km grid gave 5.2%, 2.5% and 0.5% (from 3 km down),
  on a 0.15 km one 11.5%, 5.6% and 1.1%;
- the band's duration: the farthest patch-station distance at SLOWEST_ARRIVAL_SPEED_KM_S
  plus CODA_S, sampled OUTPUT_SAMPLES_PER_PERIOD times in the shortest period.

The table is read through the ten fundamental responses of a point source in flat layers
(FUNDAMENTAL), which the table's displacement gives for four tensors at azimuth 0; any
tensor at any azimuth composes from them (`compose`). The step response G of a patch is
convolved with the moment its source releases in each sample interval, as the first
difference of G (whose transform is that of the band-limited impulse response) so that
the sum ends on the static offset: displacement is the running sum of that convolution,
velocity and acceleration its derivatives taken in the frequency domain, on the
frequencies up to the end of the band's roll-off. Ruptures on the same surface and
stations are summed together (`sum_ruptures`), each row of the table transformed once::

    from kinematic_rupture import LayeredModel, read_srf
    from kinematic_rupture.shaking import layout, shake, table_for
    from kinematic_rupture.stations import read_stations

    crust = LayeredModel.named("mojave")
    rupture = read_srf("rupture.srf")
    place = layout(rupture, read_stations("stations.txt"), crust, max_frequency_hz=1.0)
    motion = shake(rupture, place, table_for(place, crust), crust)  # m, m/s, m/s^2

.. autosummary::

   layout
   Layout
   table_for
   shake
   sum_ruptures
   Seismograms
   compose
   interpolation
   Table
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt
from scipy import fft

from .crust import GenericCrust, LayeredModel
from .errors import SettingError
from .greens import ROLL_OFF_END, Band, GreensTable, greens_table
from .patches import Patches, group, patch_moments, point_rigidity, source_samples
from .rupture_surface import Surface, surface_of
from .srf import SrfFile
from .stations import Station, geodesics, station_arrays

__all__ = ["layout", "Layout", "table_for", "shake", "sum_ruptures", "Seismograms", "compose",
           "interpolation", "Table", "DEFAULT_MAX_FREQUENCY_HZ"]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex64]
IntArray = npt.NDArray[np.int64]

DEFAULT_MAX_FREQUENCY_HZ = 1.0
OUTPUT_SAMPLES_PER_PERIOD = 10
SLOWEST_APPARENT_SPEED_KM_S = 1.0
DISTANCE_STEP_WAVELENGTHS = 0.15
SLOWEST_ARRIVAL_SPEED_KM_S = 1.5
CODA_S = 20.0
# Flat layers stand for the Earth at local and regional distances only: farther (about 9
# degrees), its curvature bends the rays and surface waves the table leaves straight, and
# the table's distances and duration grow past what a machine holds.
MAX_STATION_DISTANCE_KM = 1000.0
# Depths and distances of the table are rounded to this (km) so that the same fault and
# stations give the same table whatever the rounding of their arithmetic.
TABLE_RESOLUTION_KM = 1e-6


class Table(Protocol):
    """What the summation needs of a table of Green's functions: `greens.GreensTable` is one
    (a test may give a table of its own)."""

    @property
    def depths_km(self) -> Any:
        """The sources' depths, km."""
        ...

    @property
    def distances_km(self) -> Any:
        """The receivers' distances, km, a regular grid."""
        ...

    @property
    def dt_s(self) -> float:
        """The sample interval, s."""
        ...

    @property
    def times_s(self) -> Any:
        """The samples' times, s."""
        ...

    def displacement(self, tensor_nm: Any, depth_index: int, distances_km: Any,
                     azimuths_deg: Any) -> Any:
        """The displacement of a moment that steps at t = 0, as `greens.GreensTable.displacement`.

        Parameters
        ----------
        tensor_nm : sequence of float
            (Mxx, Myy, Mzz, Mxy, Mxz, Myz), N m.
        depth_index : int
            The source's row of `depths_km`.
        distances_km, azimuths_deg : sequence of float
            The receivers' distances (km) and azimuths (degrees).

        Returns
        -------
        numpy.ndarray
            (receivers, 3, samples): east, north and up, m.
        """
        ...


@dataclass(frozen=True, eq=False)
class Layout:
    """A rupture surface's patches and the stations: every pair's distance and azimuth, the
    table's depths and distances, and the band; made by `layout`.

    Attributes
    ----------
    surface : Surface
        The rupture's surface.
    patches : Patches
        Its patches (`patches.group`).
    stations : tuple of Station
        The stations.
    distance_km : numpy.ndarray
        (patches, stations): each pair's epicentral distance, km.
    azimuth_deg : numpy.ndarray
        (patches, stations): the azimuth from the patch to the station, degrees clockwise
        from north.
    depth_index : numpy.ndarray of int
        (patches,): each patch's row of the table.
    table_depths_km, table_distances_km : numpy.ndarray
        The depths and distances the table of Green's functions holds, km.
    max_frequency_hz : float
        The band's top, Hz.
    duration_s : float
        The Green's functions' length, s.
    dt_s : float
        Their sample interval, s.
    """

    surface: Surface
    patches: Patches
    stations: tuple[Station, ...]
    distance_km: FloatArray  # (patches, stations)
    azimuth_deg: FloatArray  # (patches, stations), from the patch to the station
    depth_index: IntArray  # (patches,) row of the table
    table_depths_km: FloatArray
    table_distances_km: FloatArray
    max_frequency_hz: float
    duration_s: float
    dt_s: float


def distance_step_km(max_frequency_hz: float) -> float:
    return DISTANCE_STEP_WAVELENGTHS * SLOWEST_APPARENT_SPEED_KM_S / max_frequency_hz


def output_dt_s(max_frequency_hz: float) -> float:
    return 1.0 / (OUTPUT_SAMPLES_PER_PERIOD * max_frequency_hz)


def distance_grid(nearest_km: float, farthest_km: float, step_km: float) -> FloatArray:
    """Grid distances from at or below `nearest_km` to above `farthest_km`, with a distance
    more at either end (none below 0) so that every distance between has the four that
    `interpolation`'s cubic takes."""
    first = max(math.floor(nearest_km / step_km) - 1, 0)
    last = math.floor(farthest_km / step_km) + 2
    return np.round(np.arange(first, last + 1) * step_km / TABLE_RESOLUTION_KM) * TABLE_RESOLUTION_KM


def layout(srf_file: SrfFile, stations: Sequence[Station], crust: GenericCrust | LayeredModel,
           max_frequency_hz: float = DEFAULT_MAX_FREQUENCY_HZ) -> Layout:
    """Patches of the file's surface, and the table its stations need (see the module's
    description: depths, distance grid and duration).

    Parameters
    ----------
    srf_file : SrfFile
        The rupture file.
    stations : sequence of Station
        The stations.
    crust : GenericCrust or LayeredModel
        The crust the patches' sizes follow (`patches`).
    max_frequency_hz : float
        The band's top, Hz.

    Returns
    -------
    Layout
        The patches, the pairs' distances and azimuths, and the table's depths, distances
        and sampling.

    Raises
    ------
    SurfaceError
        A file whose points are not rectangular planes of cells.
    """
    surface = surface_of(srf_file)
    points = srf_file.points
    x, y = surface.local(points.lon, points.lat)
    patches = group(surface, x, y, crust, max_frequency_hz)
    distance, azimuth = geodesics(patches.lon, patches.lat, *station_arrays(list(stations)))
    refuse_distant(stations, distance)
    rounded = np.round(patches.depth_km / TABLE_RESOLUTION_KM) * TABLE_RESOLUTION_KM
    depths, depth_index = np.unique(rounded, return_inverse=True)
    grid = distance_grid(float(distance.min()), float(distance.max()),
                         distance_step_km(max_frequency_hz))
    dt = output_dt_s(max_frequency_hz)
    farthest = float(np.hypot(distance.max(), depths.max()))
    duration = math.ceil((farthest / SLOWEST_ARRIVAL_SPEED_KM_S + CODA_S) / dt) * dt
    return Layout(surface, patches, tuple(stations), distance, azimuth,
                  depth_index.astype(np.int64), depths, grid, max_frequency_hz, duration, dt)


def refuse_distant(stations: Sequence[Station], distance_km: FloatArray) -> None:
    """Refuses the first station beyond MAX_STATION_DISTANCE_KM of every patch."""
    nearest = distance_km.min(axis=0)
    if nearest.size and nearest.max() > MAX_STATION_DISTANCE_KM:
        far = int(np.argmax(nearest > MAX_STATION_DISTANCE_KM))
        raise SettingError("stations", "", f"station {stations[far].name} lies {nearest[far]:,.0f} km from "
                           f"the nearest patch; the Green's functions of flat layers serve stations "
                           f"within {MAX_STATION_DISTANCE_KM:,.0f} km")


def table_for(layout: Layout, crust: LayeredModel) -> Table:
    """The Green's functions the layout needs, from the cache where they are.

    Parameters
    ----------
    layout : Layout
        The layout.
    crust : LayeredModel
        The crust.

    Returns
    -------
    Table
        A `greens.GreensTable` of the layout's depths, distances and band.
    """
    band = Band(max_frequency_hz=layout.max_frequency_hz, duration_s=layout.duration_s,
                dt_s=layout.dt_s)
    table: Table = greens_table(crust, layout.table_depths_km, layout.table_distances_km, band)
    return table


# ---- The ten fundamental responses -------------------------------------------------------------

# A point source in flat layers radiates in three azimuthal orders (Aki and Richards 2002,
# section 7.4; the same decomposition as greens.RESPONSES): at azimuth phi from the source,
# for a tensor M (x north, y east, z down),
#   up         = Mzz ZZZ + H ZH + c1 Z1 + c2 Z2,
#   radial     = Mzz RZZ + H RH + c1 R1 + c2 R2,
#   transverse = s1 T1 + s2 T2,
# with H = (Mxx + Myy)/2, c1 = Mxz cos(phi) + Myz sin(phi), s1 = Mxz sin(phi) - Myz cos(phi),
# c2 = (Mxx - Myy)/2 cos(2 phi) + Mxy sin(2 phi), s2 = (Mxx - Myy)/2 sin(2 phi) - Mxy cos(2 phi);
# radial away from the source, transverse clockwise from it seen from above.
FUNDAMENTAL = ("ZZZ", "RZZ", "ZH", "RH", "Z1", "R1", "T1", "Z2", "R2", "T2")
# Four tensors that give all ten at azimuth 0 (north: radial is north, transverse east):
# (Mxx, Myy, Mzz, Mxy, Mxz, Myz) and the responses found in (up, radial, transverse).
PROBES = (((0.0, 0.0, 1.0, 0.0, 0.0, -1.0), ("ZZZ", "RZZ", "T1")),   # Mzz = 1, s1 = 1
          ((1.0, 1.0, 0.0, -1.0, 0.0, 0.0), ("ZH", "RH", "T2")),     # H = 1, s2 = 1
          ((0.0, 0.0, 0.0, 0.0, 1.0, 0.0), ("Z1", "R1", None)),      # c1 = 1
          ((1.0, -1.0, 0.0, 0.0, 0.0, 0.0), ("Z2", "R2", None)))     # c2 = 1
# Ruptures whose sources are summed at once hold at most this in transforms.
SOURCE_BUDGET_BYTES = 1 << 29


def fundamental_responses(table: Table, row: int, distances_km: FloatArray) -> npt.NDArray[np.floating[Any]]:
    """The ten fundamental step responses (distances, 10, samples) of the table's depth
    `row`: the package's table holds them (`GreensTable.step_responses`, in the single
    precision the sum keeps); of any other, the table's displacement for PROBES at
    azimuth 0."""
    if isinstance(table, GreensTable):
        return table.step_responses(row, distances_km, single_precision=True)
    found = np.empty((len(distances_km), len(FUNDAMENTAL), len(table.times_s)))
    north = np.zeros(len(distances_km))
    for tensor, names in PROBES:
        motion = np.asarray(table.displacement(np.array(tensor), row, distances_km, north))
        # (east, north, up) at azimuth 0 is (transverse, radial, up).
        for name, axis in zip(names, (2, 1, 0)):
            if name is not None:
                found[:, FUNDAMENTAL.index(name)] = motion[:, axis]
    return found


def compose(fundamental: Any, tensors: Any, azimuth_rad: FloatArray) -> Any:
    """East, north and up motion from the ten fundamental responses and moment tensors, at
    azimuths from the sources; time series or spectra alike.

    Parameters
    ----------
    fundamental : numpy.ndarray
        (n, 10, f): the responses of `FUNDAMENTAL`, per unit moment (m / N m).
    tensors : numpy.ndarray
        (..., n, 6, f): (Mxx, Myy, Mzz, Mxy, Mxz, Myz), N m, x north, y east, z down.
    azimuth_rad : numpy.ndarray
        (n,): each source's azimuth to the receiver, radians clockwise from north.

    Returns
    -------
    numpy.ndarray
        (..., 3, f): east, north and up, m, summed over the sources' axis n.
    """
    mxx, myy, mzz, mxy, mxz, myz = (tensors[..., c, :] for c in range(6))
    cos1, sin1 = np.cos(azimuth_rad)[:, None], np.sin(azimuth_rad)[:, None]
    cos2, sin2 = np.cos(2 * azimuth_rad)[:, None], np.sin(2 * azimuth_rad)[:, None]
    half, difference = 0.5 * (mxx + myy), 0.5 * (mxx - myy)
    c1, s1 = mxz * cos1 + myz * sin1, mxz * sin1 - myz * cos1
    c2, s2 = difference * cos2 + mxy * sin2, difference * sin2 - mxy * cos2
    f = {name: fundamental[:, k] for k, name in enumerate(FUNDAMENTAL)}
    up = mzz * f["ZZZ"] + half * f["ZH"] + c1 * f["Z1"] + c2 * f["Z2"]
    radial = mzz * f["RZZ"] + half * f["RH"] + c1 * f["R1"] + c2 * f["R2"]
    transverse = s1 * f["T1"] + s2 * f["T2"]
    east = radial * sin1 + transverse * cos1
    north = radial * cos1 - transverse * sin1
    return np.stack([east.sum(axis=-2), north.sum(axis=-2), up.sum(axis=-2)], axis=-2)


def interpolation(distance_km: FloatArray, grid_km: FloatArray) -> tuple[IntArray, FloatArray]:
    """The grid's four distances about each distance and their weights: the cubic through
    them (Lagrange), or the straight line through the two about it in the grid's first and
    last intervals.

    Parameters
    ----------
    distance_km : numpy.ndarray
        Distances within the grid, km.
    grid_km : numpy.ndarray
        A regular grid of distances, km, two or more.

    Returns
    -------
    nodes : numpy.ndarray of int
        (..., 4): indices of the grid.
    weights : numpy.ndarray
        (..., 4): their weights, summing to 1.
    """
    last = len(grid_km) - 1
    step = grid_km[1] - grid_km[0] if last > 0 else 1.0
    position = (distance_km - grid_km[0]) / step
    below = np.clip(np.floor(position + 1e-9).astype(np.int64), 0, max(last - 1, 0))
    u = (position - below)[..., None]
    nodes = np.clip(below[..., None] + np.arange(-1, 3), 0, last)
    cubic = np.concatenate([-u * (u - 1) * (u - 2) / 6, (u + 1) * (u - 1) * (u - 2) / 2,
                            -(u + 1) * u * (u - 2) / 2, (u + 1) * u * (u - 1) / 6], axis=-1)
    linear = np.concatenate([np.zeros_like(u), 1 - u, u, np.zeros_like(u)], axis=-1)
    inside = ((below >= 1) & (below + 2 <= last))[..., None]
    return nodes, np.where(inside, cubic, linear)


def table_rows(wanted_km: FloatArray, table_km: FloatArray) -> IntArray:
    """The table's row of each wanted depth (to TABLE_RESOLUTION_KM)."""
    rows = np.clip(np.searchsorted(table_km, wanted_km - TABLE_RESOLUTION_KM), 0, len(table_km) - 1)
    if np.any(np.abs(table_km[rows] - wanted_km) > 1.5 * TABLE_RESOLUTION_KM):
        raise ValueError("the table of Green's functions lacks depths the patches need")
    return rows.astype(np.int64)


def kept_bins(nfft: int, dt_s: float, max_frequency_hz: float) -> int:
    """The frequencies up to where the Green's functions' roll-off ends (ROLL_OFF_END times
    the band's top); above it they are zero."""
    return min(nfft // 2 + 1, int(math.floor(ROLL_OFF_END * max_frequency_hz * nfft * dt_s)) + 1)


def transform_length(table: Table, source_samples: int) -> int:
    """The transform that convolves a source of `source_samples` with the table's Green's
    functions without wrapping around."""
    return fft.next_fast_len(source_samples + len(table.times_s) - 1, real=True)


# ---- Seismograms ----------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class Seismograms:
    """Ground motion at every station.

    Attributes
    ----------
    displacement : numpy.ndarray
        m, (stations, 3, samples): east, north and up.
    velocity : numpy.ndarray
        m/s, likewise.
    acceleration : numpy.ndarray
        m/s^2, likewise.
    dt_s : float
        The sample interval, s.
    start_s : float
        The first sample's time, s, the origin being the file's TINIT = 0.
    """

    displacement: FloatArray
    velocity: FloatArray
    acceleration: FloatArray
    dt_s: float
    start_s: float

    @property
    def samples(self) -> int:
        """The samples of each seismogram."""
        return int(self.displacement.shape[-1])

    def times_s(self) -> FloatArray:
        """The samples' times.

        Returns
        -------
        numpy.ndarray
            s, from `start_s` every `dt_s`.
        """
        return self.start_s + np.arange(self.samples, dtype=np.float64) * self.dt_s


def sum_ruptures(place: Layout, table: Table, moments: Sequence[FloatArray]) -> list[Seismograms]:
    """The seismograms of ruptures on the surface `place` was laid out for, from their
    patches' moment series, all of one length. Row by row of the table, the fundamental
    responses of the grid distances are transformed once and interpolated to each
    patch-station distance (`interpolation`); each patch's tensor transforms are composed with them at the
    pair's azimuth and summed over the patches.

    Parameters
    ----------
    place : Layout
        The layout of the ruptures' surface and stations.
    table : Table
        Its Green's functions (`table_for`).
    moments : sequence of numpy.ndarray
        One a rupture: (patches, 6, samples), the moment (N m) each patch releases in
        each interval of the table's ``dt_s`` (`patches.patch_moments`).

    Returns
    -------
    list of Seismograms
        One a rupture.

    Raises
    ------
    ValueError
        A table that lacks a depth the patches need, or whose responses are not finite.
    """
    dt = float(table.dt_s)
    samples = moments[0].shape[-1]
    nfft = transform_length(table, samples)
    kept = kept_bins(nfft, dt, place.max_frequency_hz)
    sources = np.stack([fft.rfft(m, nfft, axis=-1, workers=-1)[..., :kept]
                        for m in moments]).astype(np.complex64)
    stations = len(place.stations)
    differences = np.zeros((len(moments), stations, 3, kept), dtype=np.complex128)
    grid = np.asarray(table.distances_km, dtype=np.float64)
    rows = table_rows(place.table_depths_km, np.asarray(table.depths_km, dtype=np.float64))
    for depth_index, row in enumerate(rows):
        at_depth = np.flatnonzero(place.depth_index == depth_index)
        distance = place.distance_km[at_depth]  # (patches here, stations)
        nodes, weights = interpolation(distance, grid)
        used = np.unique(nodes)
        steps = fundamental_responses(table, int(row), grid[used])
        if not np.isfinite(steps).all():
            raise ValueError(f"the Green's functions for a source at {place.table_depths_km[depth_index]:g} "
                             f"km are not all finite numbers")
        # The transforms are kept in single precision: so transformed in it.
        impulse = np.diff(steps.astype(np.float32, copy=False), axis=-1, prepend=np.float32(0.0))
        spectra = fft.rfft(impulse, nfft, axis=-1, workers=-1)[..., :kept]
        where = np.searchsorted(used, nodes)
        single = weights.astype(np.float32)[..., None, None]
        for station in range(stations):
            fundamental = single[:, station, 0] * spectra[where[:, station, 0]]
            for j in range(1, 4):
                fundamental += single[:, station, j] * spectra[where[:, station, j]]
            azimuth = np.radians(place.azimuth_deg[at_depth, station])
            differences[:, station] += compose(fundamental, sources[:, at_depth], azimuth)
    start = float(np.asarray(table.times_s)[0])
    return [series(part, nfft, dt, samples + len(table.times_s) - 1, start) for part in differences]


def series(differences: npt.NDArray[np.complex128], nfft: int, dt: float, length: int,
           start: float) -> Seismograms:
    """Seismograms from the transforms of their displacement's first differences
    (stations, 3, kept): displacement their running sum, velocity and acceleration their
    derivatives, i w / (1 - e^-iwdt) and i w times it, in the frequency domain."""
    full = np.zeros(differences.shape[:-1] + (nfft // 2 + 1,), dtype=np.complex128)
    full[..., :differences.shape[-1]] = differences
    omega = 2.0 * np.pi * np.fft.rfftfreq(nfft, dt)
    ratio = np.empty_like(omega, dtype=np.complex128)
    ratio[0] = 1.0 / dt
    ratio[1:] = 1j * omega[1:] / (1.0 - np.exp(-1j * omega[1:] * dt))

    def inverse(transform: npt.NDArray[np.complex128]) -> FloatArray:
        return np.asarray(fft.irfft(transform, nfft, axis=-1, workers=-1)[..., :length],
                          dtype=np.float64)

    velocity = full * ratio
    return Seismograms(displacement=np.cumsum(inverse(full), axis=-1), velocity=inverse(velocity),
                       acceleration=inverse(velocity * (1j * omega)), dt_s=dt, start_s=start)


def rupture_batch(place: Layout, table: Table, samples: int) -> int:
    """How many ruptures' source transforms fit SOURCE_BUDGET_BYTES together."""
    kept = kept_bins(transform_length(table, samples), float(table.dt_s), place.max_frequency_hz)
    one = len(place.patches) * 6 * kept * np.dtype(np.complex64).itemsize
    return max(1, SOURCE_BUDGET_BYTES // one)


def shake(srf_file: SrfFile, place: Layout, table: Table,
          crust: GenericCrust | LayeredModel) -> Seismograms:
    """The seismograms of one rupture file whose surface `place` was laid out for.

    Parameters
    ----------
    srf_file : SrfFile
        The rupture file.
    place : Layout
        Its layout (`layout`).
    table : Table
        The layout's Green's functions (`table_for`).
    crust : GenericCrust or LayeredModel
        The rigidity of points without VS and DEN.

    Returns
    -------
    Seismograms
        Displacement, velocity and acceleration at every station.

    Raises
    ------
    PatchError
        A file with opening slip (SLIP3) or a negative TINIT.
    """
    dt = float(table.dt_s)
    samples = source_samples(srf_file, dt)
    moments = patch_moments(srf_file, place.patches, point_rigidity(srf_file, crust), dt, samples)
    return sum_ruptures(place, table, [moments])[0]
