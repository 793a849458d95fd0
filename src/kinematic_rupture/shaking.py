"""Ground motion at stations: every patch's moment tensor series through the Green's
functions of a layered crust, summed.

The Green's functions (kinematic_rupture.greens) give the free-surface displacement for a
step in moment at a table of source depths and epicentral distances. This module chooses
that table for a fault and a set of stations so that every rupture of an ensemble on the
same fault and stations takes the same one (and so the cached one):

- depths: each patch centre's depth (to the metre), one row per row of patches;
- distances: a regular grid from the nearest patch-station distance to the farthest,
  DISTANCE_STEP_WAVELENGTHS of the shortest wavelength of a wave crossing the surface at
  SLOWEST_APPARENT_SPEED_KM_S at the band's highest frequency apart (0.1 km for a 1 Hz
  band). A patch's waveform at its own distance is the linear interpolation of the two
  neighbouring distances of the grid, whose phase error at that frequency is at most
  (2 pi x 0.1 / 2)^2 / 2, under 5%, for the slowest waves and less for any faster one;
- the band's duration: the farthest patch-station distance at SLOWEST_ARRIVAL_SPEED_KM_S
  plus CODA_S, sampled OUTPUT_SAMPLES_PER_PERIOD times in the shortest period.

The step response G of a patch is convolved with the moment its source releases in each
sample interval, as the first difference of G (whose transform is that of the
band-limited impulse response) so that the sum ends on the static offset: displacement is
the running sum of that convolution, velocity and acceleration its derivatives taken in
the frequency domain. The sum over patches is one matrix product per frequency up to the
band's limit, with the responses of all patch-station pairs kept from one rupture to the
next (`Responses`).
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt
from scipy import fft

from .crust import GenericCrust, LayeredModel
from .patches import Patches, group, patch_moments, point_rigidity, source_samples
from .rupture_surface import Surface, surface_of
from .srf import SrfFile
from .stations import Station, geodesics, station_arrays

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex64]
IntArray = npt.NDArray[np.int64]

DEFAULT_MAX_FREQUENCY_HZ = 1.0
OUTPUT_SAMPLES_PER_PERIOD = 10
SLOWEST_APPARENT_SPEED_KM_S = 1.0
DISTANCE_STEP_WAVELENGTHS = 0.1
SLOWEST_ARRIVAL_SPEED_KM_S = 1.5
CODA_S = 20.0
# Depths and distances of the table are rounded to this (km) so that the same fault and
# stations give the same table whatever the rounding of their arithmetic.
TABLE_RESOLUTION_KM = 1e-6
# Patch-station pairs whose Green's functions are fetched from the table at once.
PAIR_BLOCK = 4096
# The responses of as many stations as fit in this are kept at once; more stations are
# summed in turns.
RESPONSES_BUDGET_BYTES = 1 << 30


class Table(Protocol):
    """What the summation needs of a table of Green's functions (greens.GreensTable)."""

    depths_km: Any
    distances_km: Any
    dt_s: float
    times_s: Any

    def displacement(self, tensor_nm: Any, depth_index: int, distances_km: Any,
                     azimuths_deg: Any) -> Any: ...


@dataclass(frozen=True, eq=False)
class Layout:
    """A rupture surface's patches and the stations: every pair's distance and azimuth, the
    table's depths and distances, and the band."""

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
    """Grid distances from at or below `nearest_km` to above `farthest_km`."""
    first = math.floor(nearest_km / step_km)
    last = math.floor(farthest_km / step_km) + 1
    return np.round(np.arange(first, last + 1) * step_km / TABLE_RESOLUTION_KM) * TABLE_RESOLUTION_KM


def layout(srf_file: SrfFile, stations: Sequence[Station], crust: GenericCrust | LayeredModel,
           max_frequency_hz: float = DEFAULT_MAX_FREQUENCY_HZ) -> Layout:
    """Patches of the file's surface, and the table its stations need."""
    surface = surface_of(srf_file)
    points = srf_file.points
    x, y = surface.local(points.lon, points.lat)
    patches = group(surface, x, y, crust, max_frequency_hz)
    distance, azimuth = geodesics(patches.lon, patches.lat, *station_arrays(list(stations)))
    rounded = np.round(patches.depth_km / TABLE_RESOLUTION_KM) * TABLE_RESOLUTION_KM
    depths, depth_index = np.unique(rounded, return_inverse=True)
    grid = distance_grid(float(distance.min()), float(distance.max()),
                         distance_step_km(max_frequency_hz))
    dt = output_dt_s(max_frequency_hz)
    farthest = float(np.hypot(distance.max(), depths.max()))
    duration = math.ceil((farthest / SLOWEST_ARRIVAL_SPEED_KM_S + CODA_S) / dt) * dt
    return Layout(surface, patches, tuple(stations), distance, azimuth,
                  depth_index.astype(np.int64), depths, grid, max_frequency_hz, duration, dt)


def table_for(layout: Layout, crust: LayeredModel) -> Table:
    """The Green's functions the layout needs, from the cache where they are."""
    from .greens import Band, greens_table  # type: ignore[import-not-found]
    band = Band(max_frequency_hz=layout.max_frequency_hz, duration_s=layout.duration_s,
                dt_s=layout.dt_s)
    table: Table = greens_table(crust, layout.table_depths_km, layout.table_distances_km, band)
    return table


# ---- The responses of every pair -------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class Responses:
    """For every station component (rows: station-major, then east, north, up) and patch
    tensor component (columns: patch-major, then Mxx, Myy, Mzz, Mxy, Mxz, Myz), the
    transform of the first difference of the step response, at the `kept` lowest of the
    frequencies of an `nfft`-point transform at the table's interval."""

    spectra: ComplexArray  # (kept, 3 stations, 6 patches)
    nfft: int
    dt_s: float
    start_s: float
    table_samples: int

    @property
    def kept(self) -> int:
        return int(self.spectra.shape[0])

    def fits(self, samples: int) -> bool:
        """Whether a source of `samples` samples convolves without wrapping around."""
        return samples + self.table_samples - 1 <= self.nfft


def kept_bins(nfft: int, dt_s: float, max_frequency_hz: float) -> int:
    return min(nfft // 2 + 1, int(math.floor(max_frequency_hz * nfft * dt_s)) + 1)


def transform_length(table: Table, source_samples: int) -> int:
    """The transform that convolves a source of `source_samples` with the table's Green's
    functions without wrapping around."""
    return fft.next_fast_len(source_samples + len(table.times_s) - 1, real=True)


def station_groups(layout: Layout, table: Table, source_samples: int) -> list[IntArray]:
    """The stations in groups whose responses take at most RESPONSES_BUDGET_BYTES each."""
    kept = kept_bins(transform_length(table, source_samples), float(table.dt_s),
                     layout.max_frequency_hz)
    per_station = kept * 3 * 6 * len(layout.patches) * np.dtype(np.complex64).itemsize
    size = max(1, RESPONSES_BUDGET_BYTES // per_station)
    everyone = np.arange(len(layout.stations))
    return [everyone[first:first + size] for first in range(0, len(everyone), size)]


def responses(layout: Layout, table: Table, source_samples: int,
              chosen_stations: IntArray | None = None) -> Responses:
    """The responses of every patch and the chosen stations (all by default), for sources
    of up to `source_samples`."""
    dt = float(table.dt_s)
    times = np.asarray(table.times_s, dtype=np.float64)
    nfft = transform_length(table, source_samples)
    kept = kept_bins(nfft, dt, layout.max_frequency_hz)
    chosen = np.arange(len(layout.stations)) if chosen_stations is None else chosen_stations
    stations = len(chosen)
    patch_count = len(layout.patches)
    spectra = np.zeros((kept, 3 * stations, 6 * patch_count), dtype=np.complex64)
    grid = np.asarray(table.distances_km, dtype=np.float64)
    step = grid[1] - grid[0] if len(grid) > 1 else 1.0
    rows = table_rows(layout.table_depths_km, np.asarray(table.depths_km, dtype=np.float64))
    for depth_index, row in enumerate(rows):
        at_depth = np.flatnonzero(layout.depth_index == depth_index)
        pairs = [(p, s) for p in at_depth for s in range(stations)]
        for first in range(0, len(pairs), PAIR_BLOCK):
            block = np.array(pairs[first:first + PAIR_BLOCK])
            patch, station = block[:, 0], block[:, 1]
            distance = layout.distance_km[patch, chosen[station]]
            below = np.clip(np.floor((distance - grid[0]) / step + 1e-9).astype(np.int64), 0,
                            max(len(grid) - 2, 0))
            weight = ((distance - grid[below]) / step)[:, None, None] if len(grid) > 1 else 0.0
            azimuth = layout.azimuth_deg[patch, chosen[station]]
            above = np.minimum(below + 1, len(grid) - 1)
            for component in range(6):
                tensor = np.zeros(6)
                tensor[component] = 1.0
                low = table.displacement(tensor, row, grid[below], azimuth)
                high = table.displacement(tensor, row, grid[above], azimuth)
                step_response = (1.0 - weight) * np.asarray(low) + weight * np.asarray(high)
                impulse = np.diff(step_response, axis=-1, prepend=0.0)
                transform = fft.rfft(impulse, nfft, axis=-1)[..., :kept]  # (pairs, 3, kept)
                for axis in range(3):
                    spectra[:, 3 * station + axis, 6 * patch + component] = transform[:, axis, :].T
    return Responses(spectra, nfft, dt, float(times[0]), len(times))


def table_rows(wanted_km: FloatArray, table_km: FloatArray) -> IntArray:
    """The table's row of each wanted depth (to TABLE_RESOLUTION_KM)."""
    rows = np.clip(np.searchsorted(table_km, wanted_km - TABLE_RESOLUTION_KM), 0, len(table_km) - 1)
    if np.any(np.abs(table_km[rows] - wanted_km) > 1.5 * TABLE_RESOLUTION_KM):
        raise ValueError("the table of Green's functions lacks depths the patches need")
    return rows.astype(np.int64)


# ---- Seismograms ----------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class Seismograms:
    """Ground motion at every station, (stations, 3 components east, north, up, samples):
    displacement (m), velocity (m/s) and acceleration (m/s^2), sampled every `dt_s` from
    `start_s` (the origin being the time of the file's TINIT = 0)."""

    displacement: FloatArray
    velocity: FloatArray
    acceleration: FloatArray
    dt_s: float
    start_s: float

    @property
    def samples(self) -> int:
        return int(self.displacement.shape[-1])

    def times_s(self) -> FloatArray:
        return self.start_s + np.arange(self.samples, dtype=np.float64) * self.dt_s


def seismograms(moments: FloatArray, kernel: Responses, stations: int) -> Seismograms:
    """The sum over patches of their moment series (patches, 6, samples) through the
    responses."""
    samples = moments.shape[-1]
    if not kernel.fits(samples):
        raise ValueError(f"a source of {samples} samples does not fit responses made for "
                         f"{kernel.nfft - kernel.table_samples + 1}")
    nfft, kept, dt = kernel.nfft, kernel.kept, kernel.dt_s
    source = fft.rfft(moments, nfft, axis=-1)[..., :kept]  # (patches, 6, kept)
    columns = source.reshape(-1, kept).T.astype(np.complex64)  # (kept, 6 patches)
    differences = np.matmul(kernel.spectra, columns[:, :, None])[:, :, 0]  # (kept, 3 stations)
    full = np.zeros((nfft // 2 + 1, differences.shape[1]), dtype=np.complex128)
    full[:kept] = differences
    omega = 2.0 * np.pi * np.fft.rfftfreq(nfft, dt)
    # From the transform of first differences to that of the derivative: i w / (1 - e^-iwdt).
    ratio = np.empty_like(omega, dtype=np.complex128)
    ratio[0] = 1.0 / dt
    ratio[1:] = 1j * omega[1:] / (1.0 - np.exp(-1j * omega[1:] * dt))
    length = samples + kernel.table_samples - 1
    shape = (stations, 3, length)

    def series(transform: npt.NDArray[np.complex128]) -> FloatArray:
        values: FloatArray = np.asarray(fft.irfft(transform, nfft, axis=0)[:length], dtype=np.float64)
        return np.ascontiguousarray(values.T.reshape(shape))

    velocity_transform = full * ratio[:, None]
    return Seismograms(
        displacement=np.cumsum(series(full), axis=-1),
        velocity=series(velocity_transform),
        acceleration=series(velocity_transform * (1j * omega)[:, None]),
        dt_s=dt, start_s=kernel.start_s)


def shake(srf_file: SrfFile, place: Layout, table: Table,
          crust: GenericCrust | LayeredModel) -> Seismograms:
    """The seismograms of one rupture file whose surface `place` was laid out for, a group
    of stations at a time."""
    rigidity = point_rigidity(srf_file, crust)
    dt = float(table.dt_s)
    samples = source_samples(srf_file, dt)
    moments = patch_moments(srf_file, place.patches, rigidity, dt, samples)
    parts = [seismograms(moments, responses(place, table, samples, group), len(group))
             for group in station_groups(place, table, samples)]
    return Seismograms(np.concatenate([part.displacement for part in parts]),
                       np.concatenate([part.velocity for part in parts]),
                       np.concatenate([part.acceleration for part in parts]),
                       dt_s=parts[0].dt_s, start_s=parts[0].start_s)
