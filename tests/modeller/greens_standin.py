"""A table of Green's functions for the tests of the ground-motion summation, computed by
pyprop8 (O'Toole and Woodhouse 2011) and shaped as kinematic_rupture.greens.GreensTable is:
free-surface displacement (east, north, up; m) for a step in moment at t = 0 of a tensor
(Mxx, Myy, Mzz, Mxy, Mxz, Myz) in N m, x north, y east, z down.

For each depth it computes the six unit tensors at receivers due east of the source at
every distance of the table (pyprop8's x is east, y north, z up; radial, transverse and
vertical there are east, north and up). Any other azimuth comes from rotating the source
about the vertical so that the receiver lies due east, and the motion back.

The spectra are computed up to the band's highest frequency only, as pyprop8's own
compute_seismograms does (complex frequency, then the trapezoidal integral of velocity),
under a cosine taper from TAPER_START of that frequency; a distance below
SMALLEST_DISTANCE_KM is computed at that distance, pyprop8 dividing by it.
"""

import functools
from dataclasses import dataclass

import numpy as np

pyprop8 = __import__("pytest").importorskip("pyprop8")

TAPER_START = 0.6
# The band-limited step is centred this many shortest periods after the table's first
# sample, so that its precursor (the taper makes it acausal) is kept: times start at
# minus this delay.
DELAY_PERIODS = 4.0
SMALLEST_DISTANCE_KM = 1e-3
# pyprop8 works in km, km/s and g/cm^3, so that moments in units of 1e15 N m give
# displacements in metres (1e15 N m / (1e9 Pa x 1e6 m^2) = 1 m).
MOMENT_UNIT_NM = 1e15
PAD_FRACTION = 0.5
UNIT_TENSORS = [(0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2)]


@dataclass(frozen=True)
class Band:
    max_frequency_hz: float = 1.0
    duration_s: float = 60.0
    dt_s: float = 0.1


def enu_tensor(ned: np.ndarray) -> np.ndarray:
    """A (..., 3, 3) tensor in x north, y east, z down, in pyprop8's east, north, up."""
    swap = np.array([[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, -1.0]])
    return swap @ ned @ swap.T


def full_tensor(six: np.ndarray) -> np.ndarray:
    """(..., 6) components to (..., 3, 3)."""
    six = np.asarray(six, dtype=np.float64)
    tensor = np.zeros(six.shape[:-1] + (3, 3))
    for c, (i, j) in enumerate(UNIT_TENSORS):
        tensor[..., i, j] = six[..., c]
        tensor[..., j, i] = six[..., c]
    return tensor


def wavenumbers(structure_vs: float, max_frequency_hz: float, farthest_km: float,
                depth_km: float) -> dict:
    # Past the waves' own wavenumbers and, for the near field and the static offset, far
    # enough that exp(-k depth) has died away.
    kmax = max(1.6 * 2 * np.pi * max_frequency_hz / structure_vs, 12.0 / max(depth_km, 0.1))
    # Spacing fine enough for the farthest distance (a few samples per oscillation of
    # the Bessel functions' envelope there) and the finite window.
    nk = int(max(400, 4 * kmax * max(farthest_km, 1.0)))
    return {"kmin": 0.0, "kmax": kmax, "nk": nk}


def step_responses(layers, depth_km: float, tensors_ned: np.ndarray, east_km: np.ndarray,
                   north_km: np.ndarray, band: Band) -> np.ndarray:
    """(sources, receivers, 3 east north up, samples) displacement for steps of the given
    tensors (N m, x north y east z down) at `depth_km` below (0, 0)."""
    model = pyprop8.LayeredStructureModel(layers)
    delay = DELAY_PERIODS / band.max_frequency_hz
    nt = int(round((band.duration_s + delay) / band.dt_s)) + 1
    npad = int(PAD_FRACTION * nt)
    times = np.arange(nt + npad) * band.dt_s
    alpha = np.log(10) / times[-1]
    omega = 2 * np.pi * np.fft.rfftfreq(nt + npad, band.dt_s)
    used = omega <= 2 * np.pi * band.max_frequency_hz
    moments = enu_tensor(full_tensor(tensors_ned)) / MOMENT_UNIT_NM
    source = pyprop8.PointSource(0.0, 0.0, depth_km, moments, np.zeros((len(moments), 3, 1)), 0.0)
    delayed = np.exp(-1j * (omega - 1j * alpha) * delay)
    receivers = pyprop8.ListOfReceivers(np.asarray(east_km, dtype=float),
                                        np.asarray(north_km, dtype=float), 0)
    slowest = min(layer[2] for layer in layers)
    farthest = float(np.max(np.hypot(east_km, north_km)))
    spectra = np.zeros((len(moments), len(east_km), 3, omega.size), dtype=complex)
    spectra[..., used] = pyprop8.compute_spectra(
        model, source, receivers, omega[used] - 1j * alpha, show_progress=False,
        squeeze_outputs=False,
        stencil_kwargs=wavenumbers(slowest, band.max_frequency_hz, farthest, depth_km))
    ramp = np.clip((omega / (2 * np.pi * band.max_frequency_hz) - TAPER_START)
                   / (1 - TAPER_START), 0, 1)
    spectra *= 0.5 * (1 + np.cos(np.pi * ramp)) * delayed
    velocity = (nt + npad) * omega[1] * np.fft.irfft(spectra, nt + npad) / (2 * np.pi)
    velocity *= np.exp(alpha * times)
    # The trapezoidal integral from 0, as pyprop8's compute_seismograms takes it.
    displacement = np.zeros_like(velocity)
    displacement[..., 1:] = np.cumsum(0.5 * (velocity[..., 1:] + velocity[..., :-1]), axis=-1) * band.dt_s
    # Radial, transverse, vertical to east, north, up at each receiver's azimuth.
    phi = np.arctan2(north_km, east_km)
    radial, transverse = displacement[:, :, 0], displacement[:, :, 1]
    east = np.cos(phi)[None, :, None] * radial - np.sin(phi)[None, :, None] * transverse
    north = np.sin(phi)[None, :, None] * radial + np.cos(phi)[None, :, None] * transverse
    return np.stack([east, north, displacement[:, :, 2]], axis=2)[..., :nt]


class Pyprop8Table:
    """The contract of greens.GreensTable, computed by pyprop8."""

    def __init__(self, layers, depths_km, distances_km, band: Band) -> None:
        self.depths_km = np.asarray(depths_km, dtype=float)
        self.distances_km = np.asarray(distances_km, dtype=float)
        self.dt_s = band.dt_s
        unit = np.eye(6)
        east = np.maximum(self.distances_km, SMALLEST_DISTANCE_KM)
        self.base = np.array([step_responses(layers, depth, unit, east, np.zeros_like(east), band)
                              for depth in self.depths_km])  # (depths, 6, distances, 3, t)
        self.times_s = np.arange(self.base.shape[-1]) * band.dt_s - DELAY_PERIODS / band.max_frequency_hz

    def displacement(self, tensor_nm, depth_index, distances_km, azimuths_deg) -> np.ndarray:
        distances_km = np.asarray(distances_km, dtype=float)
        index = np.searchsorted(self.distances_km, distances_km)
        index = np.clip(index, 0, len(self.distances_km) - 1)
        if not np.allclose(self.distances_km[index], distances_km, rtol=0, atol=1e-9):
            raise ValueError("distances must be those of the table")
        # Turn the source so that each receiver lies due east (azimuth 90).
        theta = np.radians(90.0 - np.asarray(azimuths_deg, dtype=float))
        c, s = np.cos(theta), np.sin(theta)
        rotation = np.zeros((len(theta), 3, 3))
        rotation[:, 0, 0], rotation[:, 0, 1] = c, -s
        rotation[:, 1, 0], rotation[:, 1, 1] = s, c
        rotation[:, 2, 2] = 1.0
        turned = rotation @ full_tensor(tensor_nm) @ np.transpose(rotation, (0, 2, 1))
        six = np.stack([turned[:, i, j] for i, j in UNIT_TENSORS], axis=1)  # (n, 6)
        base = self.base[depth_index][:, index]  # (6, n, 3, t)
        motion = np.einsum("nc,cnjt->njt", six, base)  # east, north, up of the turned problem
        north = c[:, None] * motion[:, 1] + s[:, None] * motion[:, 0]
        east = -s[:, None] * motion[:, 1] + c[:, None] * motion[:, 0]
        return np.stack([east, north, motion[:, 2]], axis=1)


def layers_of(model) -> list[tuple[float, float, float, float]]:
    """pyprop8's (thickness, vp, vs, rho) layers of a crust.LayeredModel."""
    tops = list(model.top_km) + [np.inf]
    return [(tops[k + 1] - tops[k], model.vp_km_s[k], model.vs_km_s[k], model.rho_g_cm3[k])
            for k in range(len(model.top_km))]


@functools.lru_cache(maxsize=8)
def cached_table(layers: tuple, depths_km: tuple, distances_km: tuple, band: Band) -> Pyprop8Table:
    """One table per set of arguments in a test session (they take seconds each)."""
    return Pyprop8Table(list(layers), depths_km, distances_km, band)


def table_for(layout, crust) -> Pyprop8Table:
    """What shaking.table_for gives, from pyprop8."""
    return cached_table(tuple(layers_of(crust)), tuple(layout.table_depths_km),
                        tuple(layout.table_distances_km),
                        Band(layout.max_frequency_hz, layout.duration_s, layout.dt_s))
