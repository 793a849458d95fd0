"""One kinematic rupture, from a random slip field to a Standard Rupture Format file.

The recipe, on a rectangular fault charted as square cells (rows down-dip, columns
along-strike):

1. Slip: a von Kármán random field (Mai and Beroza 2002), drawn by circulant embedding.
   The embedding's eigenvalues come from the covariance on a padded periodic grid; the
   padding grows until they are non-negative, and whatever is still negative after the
   last growth is clipped to zero and reported. The field is exponentiated (slip is
   positive and skewed), tapered towards the buried edges and scaled to a target moment
   with a depth-dependent rigidity.
2. Rupture front: a fraction of the local shear-wave speed, perturbed by the draw's
   second, independent field; first-arrival times from the hypocentre by the eikonal
   solver.
3. Slip rate: rise times that grow with the square root of slip around the average of
   Somerville et al. (1999), and a Liu-Archuleta-Hartzell pulse on every subfault.
4. Moment rate: every subfault's pulse, delayed by its rupture time and weighted by its
   rigidity and area, summed on the pulses' time grid.

Same fault and settings give the same arrays, bit for bit, in any process.
"""

import math
import os
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
from scipy.special import gamma, kv

import _kernels

FloatArray = npt.NDArray[np.float64]

EARTH_RADIUS_KM = 6371.0
# The pulse kernel gives no samples to a subfault whose slip is at most this.
SLIP_THRESHOLD_M = 1e-4
# Padded grid sizes tried for the embedding, as multiples of the fault's cell counts.
PADDING_FACTORS = (2, 3, 4)
# Negative eigenvalues this small, relative to the largest, are rounding, not a defect.
EIGENVALUE_TOLERANCE = 1e-12
# Slip tapers to zero over this fraction of the fault's length or width at a buried edge.
TAPER_FRACTION = 0.15
# Rupture speed stays between these fractions of the local shear-wave speed.
RUPTURE_SPEED_LIMITS = (0.3, 1.0)
# A generic continental crust: shear-wave speed from the surface value to the deep one.
VS_SURFACE_KM_S = 2.0
VS_DEEP_KM_S = 3.7
VS_DEPTH_SCALE_KM = 4.0


# ---- The fault --------------------------------------------------------------------------


@dataclass(frozen=True)
class Fault:
    """A rectangular fault plane charted as square cells.

    Rows run down-dip and columns along-strike. The reference point (`lon`, `lat`, in
    degrees) is the centre of the fault's top edge, which lies at `top_depth_km`; this
    is the point that a Standard Rupture Format file gives as ELON, ELAT. Strike, dip
    and rake follow Aki and Richards: the fault dips to the right of its strike
    direction.
    """

    length_km: float = 60.0
    width_km: float = 20.0
    cell_km: float = 0.1
    lon: float = -117.5
    lat: float = 34.2
    strike_deg: float = 295.0
    dip_deg: float = 90.0
    rake_deg: float = 180.0
    top_depth_km: float = 0.0

    def __post_init__(self) -> None:
        if not (self.cell_km > 0 and math.isfinite(self.cell_km)):
            raise ValueError(f"a cell of {self.cell_km:g} km charts nothing; it must be positive")
        for name, size in (("length", self.length_km), ("width", self.width_km)):
            cells = round(size / self.cell_km)
            if cells < 1 or not math.isclose(cells * self.cell_km, size, rel_tol=1e-9):
                raise ValueError(
                    f"a fault {name} of {size:g} km is not a whole number of {self.cell_km:g} km cells")
        if not 0 < self.dip_deg <= 90:
            raise ValueError(f"a dip of {self.dip_deg:g} degrees must be in (0, 90]")
        if not self.top_depth_km >= 0:
            raise ValueError(f"the top edge at {self.top_depth_km:g} km depth is above the surface")
        if not -90 <= self.lat <= 90:
            raise ValueError(f"a latitude of {self.lat:g} degrees is off the globe")

    @property
    def cells(self) -> tuple[int, int]:
        """(rows down-dip, columns along-strike)."""
        return round(self.width_km / self.cell_km), round(self.length_km / self.cell_km)

    @property
    def cell_area_m2(self) -> float:
        return (self.cell_km * 1e3) ** 2

    def row_depths_km(self) -> FloatArray:
        """Depth of each row's cell centres."""
        down = (np.arange(self.cells[0], dtype=np.float64) + 0.5) * self.cell_km
        return self.top_depth_km + down * math.sin(math.radians(self.dip_deg))

    def cell_lon_lat(self) -> tuple[FloatArray, FloatArray]:
        """Longitude and latitude (degrees) of every cell centre, rows down-dip."""
        rows, columns = self.cells
        along = (np.arange(columns) + 0.5) * self.cell_km - 0.5 * self.length_km
        across = (np.arange(rows) + 0.5) * self.cell_km * math.cos(math.radians(self.dip_deg))
        strike = math.radians(self.strike_deg)
        # The dip direction is the strike turned 90 degrees clockwise.
        east = along[None, :] * math.sin(strike) + across[:, None] * math.cos(strike)
        north = along[None, :] * math.cos(strike) - across[:, None] * math.sin(strike)
        return destination(self.lon, self.lat, east, north)


def destination(lon: float, lat: float, east_km: FloatArray,
                north_km: FloatArray) -> tuple[FloatArray, FloatArray]:
    """The points reached from (lon, lat) along great circles, by offsets in km."""
    distance = np.hypot(east_km, north_km) / EARTH_RADIUS_KM
    bearing = np.arctan2(east_km, north_km)
    phi = math.radians(lat)
    sin_lat = math.sin(phi) * np.cos(distance) + math.cos(phi) * np.sin(distance) * np.cos(bearing)
    lat_out = np.arcsin(np.clip(sin_lat, -1.0, 1.0))
    lon_out = math.radians(lon) + np.arctan2(np.sin(bearing) * np.sin(distance) * math.cos(phi),
                                             np.cos(distance) - math.sin(phi) * sin_lat)
    lon_deg = (np.degrees(lon_out) + 180.0) % 360.0 - 180.0
    return lon_deg, np.degrees(lat_out)


# ---- The crust ---------------------------------------------------------------------------


def shear_speed_km_s(depth_km: FloatArray) -> FloatArray:
    """Shear-wave speed rising smoothly from the surface value towards the deep one."""
    return VS_DEEP_KM_S - (VS_DEEP_KM_S - VS_SURFACE_KM_S) * np.exp(-depth_km / VS_DEPTH_SCALE_KM)


def density_g_cm3(vs_km_s: FloatArray) -> FloatArray:
    """Density from shear-wave speed, through P-wave speed (Brocher 2005, eqs. 9 and 1)."""
    vs = vs_km_s
    vp = 0.9409 + 2.0947 * vs - 0.8206 * vs**2 + 0.2683 * vs**3 - 0.0251 * vs**4
    return 1.6612 * vp - 0.4721 * vp**2 + 0.0671 * vp**3 - 0.0043 * vp**4 + 0.000106 * vp**5


def rigidity_pa(vs_km_s: FloatArray, density: FloatArray) -> FloatArray:
    return (density * 1e3) * (vs_km_s * 1e3) ** 2


# ---- Source scaling ----------------------------------------------------------------------


def moment_nm(magnitude: float) -> float:
    """Seismic moment of a moment magnitude (Hanks and Kanamori 1979)."""
    return float(10.0 ** (1.5 * magnitude + 9.1))


def moment_magnitude(moment: float) -> float:
    return (2.0 / 3.0) * (math.log10(moment) - 9.1)


def correlation_lengths_km(magnitude: float) -> tuple[float, float]:
    """Von Kármán correlation lengths (along-strike, down-dip) of Mai and Beroza (2002)."""
    return 10.0 ** (0.5 * magnitude - 2.5), 10.0 ** (magnitude / 3.0 - 1.5)


def average_rise_time_s(moment: float) -> float:
    """Average rise time for a moment in N m (Somerville et al. 1999, moment in dyne cm)."""
    return 2.03e-9 * (moment * 1e7) ** (1.0 / 3.0)


# ---- Settings ----------------------------------------------------------------------------


@dataclass(frozen=True)
class RuptureSettings:
    """What, besides the fault, decides a rupture.

    `hypocentre_km` is (along-strike, down-dip) from the fault's first column and top
    edge; None puts it a third of the way along strike and two thirds of the way down
    dip. `hurst` None is 0.75 and `correlation_km` (along-strike, down-dip) None is the
    magnitude scaling, both from Mai and Beroza (2002). The rupture speed is
    `rupture_velocity_fraction` of the local shear-wave speed, times one plus
    `velocity_perturbation` times the second random field. Slip is exp(`slip_log_std`
    times the first field) before tapering and scaling. `beta` is the pulses' rising
    fraction and `dt_s` their sample interval.
    """

    magnitude: float = 7.0
    seed: int = 20261208
    hypocentre_km: tuple[float, float] | None = None
    hurst: float | None = None
    correlation_km: tuple[float, float] | None = None
    dt_s: float = 0.05
    rupture_velocity_fraction: float = 0.8
    velocity_perturbation: float = 0.1
    slip_log_std: float = 0.5
    beta: float = 0.2


def draw_hypocentre(fault: Fault, seed: int) -> tuple[float, float]:
    """A hypocentre (along-strike, down-dip km) drawn from `seed`, for ensembles.

    Uniform along strike away from the ends; down dip skewed towards the deeper part of
    the fault, where large crustal earthquakes tend to nucleate (Mai et al. 2005).
    """
    rng = np.random.default_rng(seed)
    along = fault.length_km * rng.uniform(0.1, 0.9)
    down = fault.width_km * (0.1 + 0.85 * rng.beta(3.0, 2.0))
    return float(along), float(down)


def default_hypocentre(fault: Fault) -> tuple[float, float]:
    return fault.length_km / 3.0, 2.0 * fault.width_km / 3.0


# ---- The random fields ---------------------------------------------------------------------


@dataclass(frozen=True)
class Embedding:
    """The amplitude quadrant of a circulant embedding, and what had to be clipped.

    `clipped_fraction` is the share of the padded grid's eigenvalues that were negative
    and set to zero; `clipped_variance` is their magnitude as a share of the field's
    variance, which is how much clipping inflates it.
    """

    amplitudes: FloatArray
    padded_shape: tuple[int, int]
    clipped_fraction: float
    clipped_variance: float


def von_karman(distance: FloatArray, hurst: float) -> FloatArray:
    """The von Kármán correlation at a distance in correlation lengths, 1 at 0."""
    correlation = np.ones_like(distance)
    away = distance > 0
    r = distance[away]
    correlation[away] = 2.0 ** (1.0 - hurst) / gamma(hurst) * r**hurst * kv(hurst, r)
    return correlation


def smooth_size(n: int) -> int:
    """The smallest size at least `n` with no prime factor above 5, which FFTs like."""
    while True:
        m = n
        for p in (2, 3, 5):
            while m % p == 0:
                m //= p
        if m == 1:
            return n
        n += 1


def mirror_index(padded: int) -> npt.NDArray[np.intp]:
    """Quadrant index of each padded index: a periodic grid's lag is the shorter way round."""
    k = np.arange(padded)
    return np.minimum(k, padded - k)


def quadrant_weights(padded: int) -> npt.NDArray[np.intp]:
    """How many padded indices each quadrant index stands for."""
    return np.bincount(mirror_index(padded), minlength=padded // 2 + 1)


def embed_von_karman(cells: tuple[int, int], cell_km: float, correlation_km: tuple[float, float],
                     hurst: float) -> Embedding:
    """The embedding of a von Kármán covariance whose eigenvalues are non-negative, or clipped.

    `correlation_km` is (along-strike, down-dip); the grid's rows run down-dip.
    """
    along_km, down_km = correlation_km
    for factor in PADDING_FACTORS:
        padded = (smooth_size(factor * cells[0]), smooth_size(factor * cells[1]))
        quadrant = (padded[0] // 2 + 1, padded[1] // 2 + 1)
        lag_down = np.arange(quadrant[0]) * cell_km / down_km
        lag_along = np.arange(quadrant[1]) * cell_km / along_km
        covariance = von_karman(np.hypot(lag_down[:, None], lag_along[None, :]), hurst)
        # The covariance of the whole periodic grid is even in both lags, so its
        # transform is real and mirrors the same way: the first rows of the half
        # spectrum are the quadrant.
        periodic = covariance[np.ix_(mirror_index(padded[0]), mirror_index(padded[1]))]
        eigenvalues = np.fft.rfft2(periodic).real[: quadrant[0]]
        negative = eigenvalues < -EIGENVALUE_TOLERANCE * eigenvalues.max()
        if not negative.any():
            break
    weights = np.outer(quadrant_weights(padded[0]), quadrant_weights(padded[1]))
    size = padded[0] * padded[1]
    clipped_fraction = float(weights[negative].sum()) / size
    clipped_variance = float(-(weights[negative] * eigenvalues[negative]).sum()) / size
    amplitudes = np.sqrt(np.clip(eigenvalues, 0.0, None))
    return Embedding(np.ascontiguousarray(amplitudes), padded, clipped_fraction, clipped_variance)


def edge_taper(fault: Fault) -> FloatArray:
    """Cosine taper towards the ends and the bottom, and the top unless it reaches the surface."""
    rows, columns = fault.cells

    def ramp(count: int, taper_cells: float, near: bool, far: bool) -> FloatArray:
        centre = np.arange(count) + 0.5
        weight = np.ones(count)
        for distance, tapered in ((centre, near), (count - centre, far)):
            if tapered:
                inside = distance < taper_cells
                weight[inside] *= 0.5 - 0.5 * np.cos(np.pi * distance[inside] / taper_cells)
        return weight

    down = ramp(rows, TAPER_FRACTION * rows, near=fault.top_depth_km > 0, far=True)
    along = ramp(columns, TAPER_FRACTION * columns, near=True, far=True)
    return down[:, None] * along[None, :]


# ---- The rupture ---------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class Rupture:
    """One kinematic rupture. Grids have rows down-dip and columns along-strike.

    `offsets` and `samples` are the slip-rate pulses (m/s) as CSR rows, one per cell in
    row-major order; `samples[offsets[k] + m]` is the slip rate at `rupture_time_s` of
    cell k plus m times `dt_s`. `moment_rate_nm_s[n]` is the moment rate at n times
    `dt_s`. `timings_s` holds the seconds spent in each of the module's kernels.
    """

    slip_m: FloatArray
    rupture_time_s: FloatArray
    rise_time_s: FloatArray
    rupture_velocity_km_s: FloatArray
    offsets: npt.NDArray[np.int64]
    samples: FloatArray
    vs_km_s: FloatArray
    density_g_cm3: FloatArray
    rigidity_pa: FloatArray
    moment_nm: float
    mw: float
    moment_rate_nm_s: FloatArray
    dt_s: float
    duration_s: float
    hypocentre_km: tuple[float, float]
    hypocentre_cell: tuple[int, int]
    hurst: float
    correlation_km: tuple[float, float]
    embedding_shape: tuple[int, int]
    clipped_fraction: float
    clipped_variance: float
    timings_s: dict[str, float]


Result = TypeVar("Result")


def timed(timings: dict[str, float], name: str, kernel: Callable[..., Result], *args: Any) -> Result:
    start = time.perf_counter()
    result = kernel(*args)
    timings[name] = time.perf_counter() - start
    return result


def scaled_slip(shape: FloatArray, rigidity: FloatArray, cell_area_m2: float,
                moment: float) -> FloatArray:
    """`shape` scaled to `moment`, with slip the pulses would drop set to exactly zero.

    Zeroing loses moment, so the slip is scaled again; that scale is at least 1 and
    brings nothing back under the threshold.
    """
    slip = shape * (moment / (cell_area_m2 * (rigidity * shape).sum()))
    slip[slip <= SLIP_THRESHOLD_M] = 0.0
    return slip * (moment / (cell_area_m2 * (rigidity * slip).sum()))


def hypocentre_cell(fault: Fault, hypocentre_km: tuple[float, float]) -> tuple[int, int]:
    """The cell (row, column) that holds a hypocentre (along-strike, down-dip km)."""
    along, down = hypocentre_km
    if not (0 <= along <= fault.length_km and 0 <= down <= fault.width_km):
        raise ValueError(f"a hypocentre at ({along:g}, {down:g}) km is off the "
                         f"{fault.length_km:g} km x {fault.width_km:g} km fault")
    rows, columns = fault.cells
    return min(int(down / fault.cell_km), rows - 1), min(int(along / fault.cell_km), columns - 1)


def hypocentre_seed(fault: Fault, hypocentre_km: tuple[float, float], cell: tuple[int, int],
                    speed_km_s: FloatArray) -> tuple[int, int, float]:
    """The eikonal seed of a hypocentre: its cell, and the time the front takes from the
    hypocentre to that cell's centre."""
    (along, down), (i, j) = hypocentre_km, cell
    offset = math.hypot((i + 0.5) * fault.cell_km - down, (j + 0.5) * fault.cell_km - along)
    return i, j, offset / float(speed_km_s[i, j])


def moment_rate(rupture_time_s: FloatArray, offsets: npt.NDArray[np.int64], samples: FloatArray,
                moment_weight: FloatArray, dt_s: float) -> FloatArray:
    """Every cell's slip rate times its `moment_weight` (rigidity times area), delayed
    by its rupture time and summed on the grid of multiples of `dt_s`.

    A sample that falls between two grid times is shared between them in proportion to
    its nearness, which keeps the integral exact and the onset smooth.
    """
    lengths = np.diff(offsets)
    owner = np.repeat(np.arange(lengths.size), lengths)
    start = rupture_time_s.ravel() / dt_s
    whole = np.floor(start)
    late = (start - whole)[owner]
    grid = (whole.astype(np.int64)[owner] + np.arange(samples.size) - offsets[owner])
    weighted = samples * moment_weight.ravel()[owner]
    size = int(grid.max()) + 2 if grid.size else 1
    rate = (np.bincount(grid, weighted * (1.0 - late), minlength=size)
            + np.bincount(grid + 1, weighted * late, minlength=size))
    return np.asarray(rate, dtype=np.float64)


def rise_times_s(slip: FloatArray, moment: float) -> FloatArray:
    """Rise times growing with the square root of slip around the average for `moment`."""
    root = np.sqrt(slip)
    slipping = slip > 0
    return average_rise_time_s(moment) * root / root[slipping].mean()


def build_rupture(fault: Fault, settings: RuptureSettings) -> Rupture:
    """The whole kinematic rupture on `fault`."""
    timings: dict[str, float] = {}
    columns = fault.cells[1]
    hypocentre = settings.hypocentre_km or default_hypocentre(fault)
    start_cell = hypocentre_cell(fault, hypocentre)
    depth = np.repeat(fault.row_depths_km()[:, None], columns, axis=1)
    vs = shear_speed_km_s(depth)
    density = density_g_cm3(vs)
    rigidity = rigidity_pa(vs, density)

    hurst = 0.75 if settings.hurst is None else settings.hurst
    correlation = settings.correlation_km or correlation_lengths_km(settings.magnitude)
    embedding = embed_von_karman(fault.cells, fault.cell_km, correlation, hurst)
    slip_field, speed_field = timed(timings, "circulant_draw", _kernels.circulant_draw,
                                    embedding.amplitudes, embedding.padded_shape, fault.cells,
                                    settings.seed)

    target = moment_nm(settings.magnitude)
    shape = np.exp(settings.slip_log_std * slip_field) * edge_taper(fault)
    slip = scaled_slip(shape, rigidity, fault.cell_area_m2, target)

    fraction = settings.rupture_velocity_fraction * (1.0 + settings.velocity_perturbation * speed_field)
    speed = vs * np.clip(fraction, *RUPTURE_SPEED_LIMITS)
    seed = hypocentre_seed(fault, hypocentre, start_cell, speed)
    times = timed(timings, "eikonal_solve", _kernels.eikonal_solve, 1.0 / speed,
                  (fault.cell_km, fault.cell_km), [seed])

    rise = rise_times_s(slip, target)
    beta = np.full(slip.size, settings.beta)
    offsets, samples = timed(timings, "synthesise_pulses", _kernels.synthesise_pulses,
                             slip.ravel(), rise.ravel(), settings.dt_s, beta)

    moment = float((rigidity * slip).sum()) * fault.cell_area_m2
    rate = moment_rate(times, offsets, samples, rigidity * fault.cell_area_m2, settings.dt_s)
    lengths = np.diff(offsets)
    ends = times.ravel()[lengths > 0] + (lengths[lengths > 0] - 1) * settings.dt_s
    return Rupture(
        slip_m=slip, rupture_time_s=times, rise_time_s=rise, rupture_velocity_km_s=speed,
        offsets=offsets, samples=samples, vs_km_s=vs, density_g_cm3=density,
        rigidity_pa=rigidity, moment_nm=moment, mw=moment_magnitude(moment),
        moment_rate_nm_s=rate, dt_s=settings.dt_s,
        duration_s=float(ends.max()) if ends.size else 0.0,
        hypocentre_km=(float(hypocentre[0]), float(hypocentre[1])),
        hypocentre_cell=start_cell, hurst=hurst,
        correlation_km=(float(correlation[0]), float(correlation[1])),
        embedding_shape=embedding.padded_shape, clipped_fraction=embedding.clipped_fraction,
        clipped_variance=embedding.clipped_variance, timings_s=timings)


# ---- Standard Rupture Format -----------------------------------------------------------------

SAMPLES_PER_LINE = 6
SAMPLE_WIDTH = 13  # "%13.5e" always fills exactly 13 characters


def write_srf(path: str | os.PathLike[str], fault: Fault, rupture: Rupture) -> None:
    """Writes `rupture` as a Standard Rupture Format file, version 2.0, with one plane.

    The header gives the plane by the centre of its top edge (ELON ELAT), its cell counts
    along strike and down dip, its length and width, then strike, dip, the depth of the
    top edge, and the hypocentre along strike from the top edge's centre (SHYP) and down
    dip from the top edge (DHYP). Each point is a cell centre, along-strike fastest:
    LON LAT DEP(km) STK DIP AREA(cm^2) TINIT(s) DT(s) VS(cm/s) DEN(g/cm^3), then RAKE
    SLIP1(cm) NT1 SLIP2 NT2 SLIP3 NT3 with the second and third components empty, then
    the NT1 slip-rate samples (cm/s), six to a line; a cell that does not slip has none.
    """
    rows, columns = fault.cells
    lon, lat = fault.cell_lon_lat()
    depth = np.repeat(fault.row_depths_km()[:, None], columns, axis=1)
    area_cm2 = fault.cell_area_m2 * 1e4
    along, down = rupture.hypocentre_km
    lines = [
        "2.0",
        "PLANE 1",
        f"{fault.lon:.6f} {fault.lat:.6f} {columns} {rows} {fault.length_km:.4f} {fault.width_km:.4f}",
        f"{fault.strike_deg:.2f} {fault.dip_deg:.2f} {fault.top_depth_km:.4f} "
        f"{along - 0.5 * fault.length_km:.4f} {down:.4f}",
        f"POINTS {rows * columns}",
    ]
    # One formatting pass over all samples; fixed-width fields let each line be a slice.
    offsets = rupture.offsets
    rates = ("%13.5e" * len(rupture.samples)) % tuple((rupture.samples * 100.0).tolist())
    point = (f"%.6f %.6f %.6f {fault.strike_deg:.2f} {fault.dip_deg:.2f} {area_cm2:.6e} "
             f"%.6f {rupture.dt_s:.6e} %.6e %.6e\n{fault.rake_deg:.2f} %.6e %d 0.0 0 0.0 0")
    columns_of = zip(lon.ravel().tolist(), lat.ravel().tolist(), depth.ravel().tolist(),
                     rupture.rupture_time_s.ravel().tolist(), (rupture.vs_km_s.ravel() * 1e5).tolist(),
                     rupture.density_g_cm3.ravel().tolist(), (rupture.slip_m.ravel() * 100.0).tolist(),
                     offsets[:-1].tolist(), offsets[1:].tolist())
    for x, y, z, tinit, vs, den, slip, first, last in columns_of:
        lines.append(point % (x, y, z, tinit, vs, den, slip, last - first))
        for start in range(first, last, SAMPLES_PER_LINE):
            end = min(start + SAMPLES_PER_LINE, last)
            lines.append(rates[start * SAMPLE_WIDTH:end * SAMPLE_WIDTH])
    with open(path, "w") as srf:
        srf.write("\n".join(lines))
        srf.write("\n")
