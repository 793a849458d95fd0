"""Green's functions of a layered crust: surface displacement for a point moment tensor
at depth, tabled over source depths and distances, on a band up to a stated frequency::

    from kinematic_rupture import LayeredModel
    from kinematic_rupture.greens import Band, greens_table

    table = greens_table(LayeredModel.named("mojave"), depths_km=[2.0, 8.0],
                         distances_km=[5.0, 30.0], band=Band(max_frequency_hz=1.0))
    u = table.displacement((0, 0, 0, 1e15, 0, 0), 0, [30.0], [45.0])  # (1, 3, n_t), m

The method (crates/greens, the compiled module `_greens`): frequency-wavenumber
integration over flat layers on a half-space with a free surface, by generalized
reflection and transmission coefficients (Luco and Apsel 1983; Chen 1993; Kennett 1983),
a discrete wavenumber sum with a complex frequency (Bouchon and Aki 1977; Bouchon 1981),
and constant-Q attenuation with logarithmic dispersion about REFERENCE_FREQUENCY_HZ
(Futterman 1962; Aki and Richards 2002, 5.5). The table holds, for each source depth and
distance, the ten fundamental responses from which any moment tensor and azimuth compose
(the order and the composition are in crates/greens/src/greens.hpp; `RESPONSES` names
them), as spectra; `GreensTable.displacement` composes them and returns seismograms, and
`spectra_of`, `source_factor` and `seismograms` do the same in steps, so that many sources
with their own moment-rate histories are summed as spectra and transformed once.

Where the band stops, and why. Up to `max_frequency_hz` the responses are complete; above
it a cosine-squared roll-off takes them to zero at ROLL_OFF_END times that frequency,
beyond which nothing is computed. A sharp cut would ring for the whole window (Gibbs);
the roll-off makes the band-limited responses settle within a few seconds. The cost of a
table grows as the square of the band's top (frequencies times wavenumbers), so the band
stops where the ground motion of interest stops: 1 Hz by default, the deterministic band
of the broadband simulations the package's ruptures are meant for.

Displacement is for a moment that steps from 0 to the tensor at t = 0, in metres; times
run from 0 for the band's `duration_s`. Each seismogram is computed over a window that
starts LEAD_PERIODS periods of the band's top before t = 0 (so that the zero-phase
roll-off's precursors, which wrap around the window's end under the complex frequency's
damping, have died away), and the step's constant tail past the window, which would wrap
to the start, is taken out exactly from the last sample. The last sample is the static
offset where the motion has settled by then: within a few tenths of a percent at
distances up to a few times the source depth, and approached slowly (as 1/t^2 after
the surface waves) farther out, so a window several times the surface waves' travel
time is needed there.

Tables are kept on disk (see `cache_directory`), keyed by everything that decides their
bits, and read back after their size and digest check out.
"""

import hashlib
import json
import math
import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any, TypeVar

import numpy as np
import numpy.typing as npt
from scipy import fft, special

from . import _greens, memory
from ._version import __version__
from .crust import LayeredModel
from .errors import SettingError, quote
from .field import cache_directory, computing_libraries
from .files import write_atomically

__all__ = ["Band", "GreensTable", "greens_table", "RESPONSES", "ROLL_OFF_END", "REFERENCE_FREQUENCY_HZ",
           "DAMPING", "DECAY", "WAVENUMBER_PERIOD", "LEAD_PERIODS"]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

# The ten responses, in the compiled module's order: Z up, R radial away from the source,
# T transverse (clockwise seen from above); ZZ from Mzz, H from (Mxx + Myy)/2, 1 from
# (Mxz, Myz), 2 from ((Mxx - Myy)/2, Mxy). See crates/greens/src/greens.hpp.
RESPONSES = ("ZZZ", "RZZ", "ZH", "RH", "Z1", "R1", "T1", "Z2", "R2", "T2")

# The band: a cosine-squared roll-off from the band's top to this multiple of it.
ROLL_OFF_END = 1.5
# Output samples per period of the band's top, when the band does not give dt_s.
SAMPLES_PER_PERIOD = 10
DEFAULT_DURATION_S = 120.0
# The window starts this many periods of the band's top before t = 0 (see above).
LEAD_PERIODS = 16.0
# Limits that keep a table's cost and size within reason.
MAX_FREQUENCY_HZ = 20.0
MAX_SAMPLES = 2**20
# Velocities are those at this frequency; the dispersion of constant Q is about it.
REFERENCE_FREQUENCY_HZ = 1.0
# The complex frequency omega + i DAMPING / T over a window of T seconds: what arrives
# after the window wraps around damped by exp(-DAMPING) at least (Bouchon 1981 uses pi).
DAMPING = 4.0
# The wavenumber step is 2 pi / L with L = WAVENUMBER_PERIOD (r_max + Vp_max T), so that
# the periodic array of sources the discrete sum implies (Bouchon and Aki 1977) sends
# nothing within the window and its S and surface waves arrive damped by exp(-11) or more.
WAVENUMBER_PERIOD = 1.5
# The sum over wavenumbers stops where the S wave's evanescent decay between source and
# receivers, the integral of Re sqrt(k^2 - (omega / Vs(z))^2) over depth, reaches this
# (the responses then change by a few parts in ten thousand at most).
DECAY = 12.0
# Frequencies handed to the compiled module at once, so that Ctrl-C acts between calls.
FREQUENCY_BLOCK = 16
CACHE_ENVIRONMENT = "KINEMATIC_RUPTURE_CACHE"  # read by field.cache_directory
# Changes whenever the way a table is computed or stored changes, so old files go unused.
CACHE_FORMAT = "greens-table-2"
# A cache file's header: one line of JSON, at most this long.
MAX_HEADER_BYTES = 4096
# How much of a refused value its refusal quotes: the first items of a list, the first
# characters of anything else.
SHOWN_ITEMS = 4
SHOWN_CHARACTERS = 40


@dataclass(frozen=True)
class Band:
    """The band of a table, and its seismograms' sampling.

    Parameters
    ----------
    max_frequency_hz : float
        Complete up to this frequency, Hz, in (0, 20]; rolled off to zero at
        ROLL_OFF_END (1.5) times it.
    duration_s : float
        The seismograms' length, s: a whole number of samples.
    dt_s : float, optional
        Their sample interval, s; by default SAMPLES_PER_PERIOD (10) samples per period
        of the band's top. It must sample the roll-off.

    Raises
    ------
    SettingError
        A value beyond those bounds, named (a ValueError).
    """

    max_frequency_hz: float = 1.0
    duration_s: float = DEFAULT_DURATION_S
    dt_s: float | None = None

    def __post_init__(self) -> None:
        top = self.max_frequency_hz
        if not (is_number(top) and math.isfinite(top) and 0 < top <= MAX_FREQUENCY_HZ):
            raise SettingError("max_frequency_hz", shown(top), f"must be a number of Hz in (0, {MAX_FREQUENCY_HZ:g}]")
        if not (is_number(self.duration_s) and math.isfinite(self.duration_s) and self.duration_s > 0):
            raise SettingError("duration_s", shown(self.duration_s), "must be a positive number of seconds")
        dt = 1.0 / (SAMPLES_PER_PERIOD * top) if self.dt_s is None else self.dt_s
        nyquist_dt = 1.0 / (2.0 * ROLL_OFF_END * top)
        if not (is_number(dt) and math.isfinite(dt) and 0 < dt < nyquist_dt):
            raise SettingError("dt_s", shown(self.dt_s), f"must be a positive number of seconds below "
                               f"{nyquist_dt:g}, which samples the band's roll-off to "
                               f"{ROLL_OFF_END * top:g} Hz")
        samples = round(self.duration_s / dt)
        if not 1 <= samples <= MAX_SAMPLES or abs(samples * dt - self.duration_s) > 1e-9 * self.duration_s:
            raise SettingError("duration_s", shown(self.duration_s), f"must be a whole number (at most "
                               f"{MAX_SAMPLES}) of samples of {dt:g} s")
        object.__setattr__(self, "max_frequency_hz", float(top))
        object.__setattr__(self, "duration_s", float(self.duration_s))
        object.__setattr__(self, "dt_s", float(dt))

    @property
    def sample_interval_s(self) -> float:
        """The sample interval, s (`dt_s`, always set once the band is made)."""
        assert self.dt_s is not None
        return self.dt_s

    @property
    def samples(self) -> int:
        """The samples of a seismogram."""
        return round(self.duration_s / self.sample_interval_s)

    @property
    def roll_off_end_hz(self) -> float:
        """Where the roll-off reaches zero, Hz."""
        return ROLL_OFF_END * self.max_frequency_hz

    def describe(self) -> str:
        """The band in a few words.

        Returns
        -------
        str
            Where it is complete, where its roll-off ends, and its sampling.
        """
        return (f"complete to {self.max_frequency_hz:g} Hz, rolled off to zero at "
                f"{self.roll_off_end_hz:g} Hz; {self.duration_s:g} s every {self.sample_interval_s:g} s")


@dataclass(frozen=True, eq=False)
class GreensTable:
    """The ten fundamental responses of a crust for every source depth and distance, made
    by `greens_table`.

    Attributes
    ----------
    crust : LayeredModel
        The crust.
    band : Band
        The band.
    depths_km, distances_km : numpy.ndarray
        The sources' depths and the receivers' distances, km.
    receiver_depth_km : float
        The receivers' depth, km (0 at the free surface).
    spectra : numpy.ndarray
        [depth, distance, response, frequency], ready for an inverse real FFT of
        `fft_samples` samples that starts `lead_samples` samples before t = 0, damped by
        `damping_per_s`.
    damping_per_s : float
        The imaginary part of the complex frequency, 1/s: `DAMPING` over the window.
    fft_samples : int
        The window's samples, the lead included.
    lead_samples : int
        The samples of the window before t = 0 (`LEAD_PERIODS` periods of the band's top).
    dt_s : float
        The seismograms' sample interval, s.
    times_s : numpy.ndarray
        Their samples' times, s from 0.
    """

    crust: LayeredModel
    band: Band
    depths_km: FloatArray
    distances_km: FloatArray
    receiver_depth_km: float
    spectra: ComplexArray
    damping_per_s: float
    fft_samples: int
    lead_samples: int
    dt_s: float = field(init=False)
    times_s: FloatArray = field(init=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "dt_s", self.band.sample_interval_s)
        object.__setattr__(self, "times_s", read_only(np.arange(self.band.samples) * self.dt_s))

    def displacement(self, tensor_nm: object, depth_index: int, distances_km: object,
                     azimuths_deg: object) -> FloatArray:
        """The displacement of a moment that steps at t = 0.

        Parameters
        ----------
        tensor_nm : sequence of float
            (Mxx, Myy, Mzz, Mxy, Mxz, Myz), N m; x north, y east, z down (Aki and
            Richards' frame).
        depth_index : int
            The source's depth, ``depths_km[depth_index]``.
        distances_km : sequence of float
            Each receiver's distance, km: each one of the table's.
        azimuths_deg : sequence of float
            Each receiver's azimuth, degrees clockwise from north, seen from the source.

        Returns
        -------
        numpy.ndarray
            East, north and up displacement, m: (receivers, 3, samples) at `times_s`.

        Raises
        ------
        SettingError
            A tensor of other than six finite numbers, a depth index or distance not of
            the table, azimuths not one per distance.
        """
        spectra = self.spectra_of(tensor_nm, depth_index, distances_km, azimuths_deg)
        return np.asarray(self.seismograms(spectra), dtype=np.float64)

    def step_responses(self, depth_index: int, distances_km: object,
                       single_precision: bool = False) -> npt.NDArray[np.floating[Any]]:
        """The ten responses of `RESPONSES` themselves, as seismograms: what `displacement`
        composes for any tensor and azimuth (see shaking.compose).

        Parameters
        ----------
        depth_index : int
            The source's depth, ``depths_km[depth_index]``.
        distances_km : sequence of float
            Each receiver's distance, km: each one of the table's.
        single_precision : bool
            Transform in single precision (float32 results, three times quicker).

        Returns
        -------
        numpy.ndarray
            (receivers, 10, samples) at `times_s`: m per N m of a moment that steps at t = 0.

        Raises
        ------
        SettingError
            A depth index or distance not of the table.
        """
        self.checked_depth_index(depth_index)
        spectra = self.spectra[depth_index, self.distance_indices(distances_km)]
        return self.seismograms(spectra.astype(np.complex64) if single_precision else spectra)

    def checked_depth_index(self, depth_index: int) -> None:
        """Refuses a depth index that is not one of the table's.

        Parameters
        ----------
        depth_index : int
            An index into `depths_km`.

        Raises
        ------
        SettingError
            Not a whole number, or outside ``range(len(depths_km))``.
        """
        if (isinstance(depth_index, bool) or not isinstance(depth_index, (int, np.integer))
                or not 0 <= depth_index < len(self.depths_km)):
            raise SettingError("depth_index", shown(depth_index), f"must be an index of the table's "
                               f"{len(self.depths_km)} depths")

    def spectra_of(self, tensor_nm: object, depth_index: int, distances_km: object,
                   azimuths_deg: object) -> ComplexArray:
        """The spectra of `displacement`'s seismograms, for summing many sources.

        Parameters
        ----------
        tensor_nm, depth_index, distances_km, azimuths_deg
            As for `displacement`.

        Returns
        -------
        numpy.ndarray
            (receivers, 3, frequencies), complex: `seismograms` turns them (or sums of
            them, or them times `source_factor`) into east, north and up displacement.
        """
        tensor = checked_tensor(tensor_nm)
        self.checked_depth_index(depth_index)
        columns = self.distance_indices(distances_km)
        azimuth = np.radians(as_floats("azimuths_deg", azimuths_deg))
        if azimuth.shape != columns.shape or not np.all(np.isfinite(azimuth)):
            raise SettingError("azimuths_deg", shown(azimuths_deg),
                               "must be finite numbers of degrees, one per distance")
        mxx, myy, mzz, mxy, mxz, myz = tensor
        cos, sin = np.cos(azimuth), np.sin(azimuth)
        c1, s1 = mxz * cos + myz * sin, mxz * sin - myz * cos
        half = 0.5 * (mxx - myy)
        c2 = half * np.cos(2 * azimuth) + mxy * np.sin(2 * azimuth)
        s2 = half * np.sin(2 * azimuth) - mxy * np.cos(2 * azimuth)
        horizontal = np.full_like(azimuth, 0.5 * (mxx + myy))
        vertical = np.full_like(azimuth, mzz)
        zero = np.zeros_like(azimuth)
        # Weights of the ten responses (RESPONSES' order) in up, radial and transverse
        # (clockwise), then radial and transverse turned to east and north.
        up = np.stack([vertical, zero, horizontal, zero, c1, zero, zero, c2, zero, zero], axis=-1)
        radial = np.stack([zero, vertical, zero, horizontal, zero, c1, zero, zero, c2, zero], axis=-1)
        transverse = np.stack([zero, zero, zero, zero, zero, zero, s1, zero, zero, s2], axis=-1)
        weights = np.stack([radial * sin[:, None] + transverse * cos[:, None],
                            radial * cos[:, None] - transverse * sin[:, None], up], axis=1)
        spectra: ComplexArray = np.einsum("nck,nkf->ncf", weights, self.spectra[depth_index, columns])
        return spectra

    def source_factor(self, rate_per_s: object, rate_dt_s: float, start_s: float = 0.0) -> ComplexArray:
        """What multiplies `spectra_of`'s spectra (frequency last) so that the moment grows
        as a rate says instead of stepping at t = 0.

        A sum of such products over sources gives, through `seismograms`, their summed
        displacement; the window must leave time after the last source's motion for it
        to settle (see the module's description).

        Parameters
        ----------
        rate_per_s : sequence of float
            The moment rate over the final moment, 1/s, of unit area.
        rate_dt_s : float
            Its sample interval, s.
        start_s : float
            When its first sample is, s.

        Returns
        -------
        numpy.ndarray
            One complex factor per frequency.

        Raises
        ------
        SettingError
            A rate that is not a one-dimensional list of finite numbers, or an interval
            or start that is not finite (the interval positive); a ValueError.
        """
        rate = as_floats("rate_per_s", rate_per_s)
        if rate.ndim != 1 or rate.size == 0 or not np.all(np.isfinite(rate)):
            raise SettingError("rate_per_s", shown(rate_per_s), "must be a one-dimensional list of finite numbers, "
                               "not empty")
        if not (is_number(rate_dt_s) and math.isfinite(rate_dt_s) and rate_dt_s > 0):
            raise SettingError("rate_dt_s", shown(rate_dt_s), "must be a positive number of seconds")
        if not (is_number(start_s) and math.isfinite(start_s)):
            raise SettingError("start_s", shown(start_s), "must be a finite number of seconds")
        frequency = np.arange(self.spectra.shape[-1]) / (self.fft_samples * self.dt_s)
        omega = 2 * np.pi * frequency + 1j * self.damping_per_s
        times = start_s + np.arange(rate.size) * rate_dt_s
        # The rate's spectrum at the complex frequencies (e^{-i omega t}), conjugated as
        # the table's spectra are.
        factor: ComplexArray = np.conj(np.exp(1j * np.outer(omega, times)) @ rate * rate_dt_s)
        return factor

    def static_displacement(self, tensor_nm: object, depth_index: int, distances_km: object,
                            azimuths_deg: object) -> FloatArray:
        """The last samples of `displacement`: the static offsets, m, where the motion has
        settled within the window (see the module's description).

        Parameters
        ----------
        tensor_nm, depth_index, distances_km, azimuths_deg
            As for `displacement`.

        Returns
        -------
        numpy.ndarray
            (receivers, 3): east, north and up.
        """
        return self.displacement(tensor_nm, depth_index, distances_km, azimuths_deg)[..., -1]

    def distance_indices(self, distances_km: object) -> npt.NDArray[np.intp]:
        """The table's index of each distance.

        Parameters
        ----------
        distances_km : sequence of float
            Distances, km, each one of the table's (within 1e-9 km).

        Returns
        -------
        numpy.ndarray of int
            One index of `distances_km` each.

        Raises
        ------
        SettingError
            A distance that is not the table's, named (a ValueError).
        """
        wanted = np.atleast_1d(as_floats("distances_km", distances_km))
        if wanted.ndim != 1:
            raise SettingError("distances_km", shown(distances_km), "must be a one-dimensional list of distances")
        order = np.argsort(self.distances_km)
        place = np.clip(np.searchsorted(self.distances_km[order], wanted), 0, len(order) - 1)
        below = np.clip(place - 1, 0, len(order) - 1)
        nearest = np.where(np.abs(self.distances_km[order][below] - wanted)
                           < np.abs(self.distances_km[order][place] - wanted), below, place)
        found = order[nearest]
        missing = ~(np.abs(self.distances_km[found] - wanted) <= DISTANCE_TOLERANCE_KM)
        if missing.any():
            raise SettingError("distances_km", float(wanted[missing][0]), f"not a distance of the table "
                               f"({len(self.distances_km)} from {self.distances_km.min():g} to "
                               f"{self.distances_km.max():g} km)")
        return found

    def seismograms(self, spectra: npt.NDArray[np.complexfloating[Any, Any]]) -> npt.NDArray[np.floating[Any]]:
        """Displacement samples from t = 0 of spectra like the table's.

        Parameters
        ----------
        spectra : numpy.ndarray
            (..., frequency), as `spectra_of` gives them; complex64 ones are transformed
            in single precision.

        Returns
        -------
        numpy.ndarray
            (..., samples), m, at `times_s`: float64 (float32 from complex64).
        """
        damped = fft.irfft(spectra, self.fft_samples, axis=-1, workers=-1)
        growth = np.exp(self.damping_per_s * np.arange(self.fft_samples) * self.dt_s)
        kept = slice(self.lead_samples, self.lead_samples + self.band.samples)
        values = damped[..., kept] * growth[kept].astype(damped.dtype)
        # The step's tail past the window wrapped onto every sample as
        # last * exp(-damping T): take it out.
        values -= (np.exp(-self.damping_per_s * self.fft_samples * self.dt_s) * growth[-1]) * damped[..., -1:]
        return values


# A requested distance matches a table's within this (km).
DISTANCE_TOLERANCE_KM = 1e-9


def greens_table(crust: LayeredModel, depths_km: object, distances_km: object, band: Band, *,
                 receiver_depth_km: float = 0.0, cache: bool = True) -> GreensTable:
    """The Green's functions of a layered crust, tabled over depths and distances.

    Parameters
    ----------
    crust : LayeredModel
        The crust, with its Q (or the default rule).
    depths_km : sequence of float
        The sources' depths, km, exactly as the caller's grid needs them.
    distances_km : sequence of float
        The receivers' distances, km, none repeated.
    band : Band
        The band and the sampling.
    receiver_depth_km : float
        The receivers' depth, km: 0 at the free surface; every source lies deeper.
    cache : bool
        Read the table from the disk cache when it holds the same one, and keep it there
        otherwise; False neither reads nor writes it.

    Returns
    -------
    GreensTable
        The responses, read only.

    Raises
    ------
    TypeError
        A crust that is not a LayeredModel, or a band that is not a Band.
    SettingError
        Depths, distances or a receiver depth that cannot be used, named (a ValueError).

    Examples
    --------
    >>> from kinematic_rupture import Band, LayeredModel, greens_table
    >>> table = greens_table(LayeredModel.named("mojave"), [6.0], [10.0, 20.0],
    ...                      Band(max_frequency_hz=0.5, duration_s=40.0), cache=False)
    >>> table.displacement((0, 0, 0, 1e16, 0, 0), 0, [10.0], [30.0]).shape
    (1, 3, 200)
    """
    if not isinstance(crust, LayeredModel):
        raise TypeError(f"crust: must be a LayeredModel, not {type(crust).__name__}")
    if not isinstance(band, Band):
        raise TypeError(f"band: must be a Band, not {type(band).__name__}")
    if not (is_number(receiver_depth_km) and math.isfinite(receiver_depth_km) and receiver_depth_km >= 0):
        raise SettingError("receiver_depth_km", shown(receiver_depth_km), "must be a finite number of km, 0 or more")
    receiver = float(receiver_depth_km)
    depths = checked_list("depths_km", depths_km)
    if np.any(depths <= receiver):
        raise SettingError("depths_km", float(depths[depths <= receiver][0]), f"sources must lie below the "
                           f"receivers, at more than {receiver:g} km (0 is the free surface)")
    distances = checked_list("distances_km", distances_km)
    if np.any(distances < 0):
        raise SettingError("distances_km", float(distances[distances < 0][0]), "must be 0 or more")
    unique, counts = np.unique(distances, return_counts=True)
    if np.any(counts > 1):
        raise SettingError("distances_km", float(unique[counts > 1][0]), "must not repeat a distance")
    sampling = Sampling.of(crust, band, distances)
    refuse_beyond_memory(crust, depths, distances, receiver, sampling)
    key = cache_key(crust, band, depths, distances, receiver)
    if cache:
        found = read_cached(key, sampling.shape(len(depths), len(distances)))
        if found is not None:
            return GreensTable(crust, band, read_only(depths), read_only(distances), receiver,
                               read_only(found), sampling.damping_per_s, sampling.fft_samples,
                               sampling.lead_samples)
    spectra = compute_spectra(crust, depths, distances, receiver, sampling)
    if cache:
        write_cached(key, spectra)
    return GreensTable(crust, band, read_only(depths), read_only(distances), receiver,
                       read_only(spectra), sampling.damping_per_s, sampling.fft_samples,
                       sampling.lead_samples)


@dataclass(frozen=True)
class Sampling:
    """How a band is sampled: the FFT window (lead included), the frequencies computed,
    the complex frequency's damping and the wavenumber step."""

    dt_s: float
    fft_samples: int
    lead_samples: int
    frequencies: int
    damping_per_s: float
    wavenumber_step_per_km: float
    roll_off: tuple[float, float]

    @classmethod
    def of(cls, crust: LayeredModel, band: Band, distances: FloatArray) -> "Sampling":
        dt = band.sample_interval_s
        lead = math.ceil(LEAD_PERIODS / band.max_frequency_hz / dt)
        samples = lead + band.samples
        window = samples * dt
        frequencies = math.floor(band.roll_off_end_hz * window) + 1
        length = WAVENUMBER_PERIOD * (float(distances.max()) + max(crust.vp_km_s) * window)
        return cls(dt, samples, lead, frequencies, DAMPING / window, 2 * math.pi / length,
                   (band.max_frequency_hz, band.roll_off_end_hz))

    def shape(self, depths: int, distances: int) -> tuple[int, int, int, int]:
        return (depths, distances, len(RESPONSES), self.frequencies)

    def frequencies_hz(self) -> FloatArray:
        return np.arange(self.frequencies) / (self.fft_samples * self.dt_s)


def refuse_beyond_memory(crust: LayeredModel, depths: FloatArray, distances: FloatArray,
                         receiver: float, sampling: Sampling) -> None:
    """Raises MemoryError, before anything is made, for a table whose computation needs more
    than the process has left: the table itself, and the Bessel functions' three arrays of
    distances by wavenumbers alive at once."""
    counts = wavenumber_counts(np.asarray(crust.top_km, dtype=np.float64),
                               np.asarray(crust.vs_km_s, dtype=np.float64), depths, receiver,
                               sampling.frequencies_hz(), sampling.wavenumber_step_per_km)
    table = math.prod(sampling.shape(len(depths), len(distances))) * np.dtype(np.complex128).itemsize
    bessel = 3 * len(distances) * int(counts.max()) * np.dtype(np.float64).itemsize
    left = memory.available_bytes()
    if table + bessel > left:
        raise MemoryError(f"the table of Green's functions needs {memory.gibibytes(table + bessel)} "
                          f"({len(depths)} depths x {len(distances)} distances x {sampling.frequencies} "
                          f"frequencies); {memory.gibibytes(left)} left: fewer or nearer stations, "
                          f"or a lower highest frequency")


def compute_spectra(crust: LayeredModel, depths: FloatArray, distances: FloatArray,
                    receiver: float, sampling: Sampling) -> ComplexArray:
    """The table's spectra: the compiled sum, then the roll-off, the step, the lead and
    the inverse FFT's scaling and sign convention applied."""
    top = np.asarray(crust.top_km, dtype=np.float64)
    vs = np.asarray(crust.vs_km_s, dtype=np.float64)
    qp, qs = (np.asarray(q, dtype=np.float64) for q in crust.quality_factors())
    frequency = sampling.frequencies_hz()
    counts = wavenumber_counts(top, vs, depths, receiver, frequency, sampling.wavenumber_step_per_km)
    k = (np.arange(int(counts.max())) + 0.5) * sampling.wavenumber_step_per_km
    x = distances[:, None] * k[None, :]
    j0, j1 = np.ascontiguousarray(special.j0(x)), np.ascontiguousarray(special.j1(x))
    del x
    impulse = np.empty((len(depths), len(distances), len(RESPONSES), sampling.frequencies), np.complex128)
    for first in range(0, sampling.frequencies, FREQUENCY_BLOCK):
        last = min(first + FREQUENCY_BLOCK, sampling.frequencies)
        block = np.empty(impulse.shape[:3] + (last - first,), np.complex128)
        _greens.spectra(top, np.asarray(crust.vp_km_s, dtype=np.float64), vs,
                        np.asarray(crust.rho_g_cm3, dtype=np.float64), qp, qs, REFERENCE_FREQUENCY_HZ,
                        receiver, depths, distances, 1.0 / (sampling.fft_samples * sampling.dt_s), first,
                        sampling.damping_per_s,
                        sampling.wavenumber_step_per_km, np.ascontiguousarray(counts[:, first:last]).ravel(),
                        j0.ravel(), j1.ravel(), block.view(np.float64).ravel())
        impulse[..., first:last] = block
    impulse *= step_factor(sampling)  # in place: the table is the largest array made
    np.conjugate(impulse, out=impulse)
    impulse /= sampling.dt_s
    return impulse


def step_factor(sampling: Sampling) -> ComplexArray:
    """What turns the spectrum of displacement for an impulsive moment at the sampling's
    complex frequencies (e^{-i omega t} convention) into the table's: the band's roll-off,
    i / omega for a step and the lead's delay."""
    frequency = sampling.frequencies_hz()
    omega = 2 * np.pi * frequency + 1j * sampling.damping_per_s
    lead_s = sampling.lead_samples * sampling.dt_s
    factor: ComplexArray = roll_off(frequency, *sampling.roll_off) * (1j / omega) * np.exp(1j * omega * lead_s)
    return factor


def step_spectra(impulse: ComplexArray, sampling: Sampling) -> ComplexArray:
    """Spectra like the table's (..., frequency) from spectra of displacement for an
    impulsive moment: step_factor's, and the conjugate over dt that NumPy's inverse FFT
    (e^{+i omega t}) needs."""
    result: ComplexArray = np.conj(impulse * step_factor(sampling))
    result /= sampling.dt_s
    return result


def roll_off(frequency: FloatArray, top_hz: float, end_hz: float) -> FloatArray:
    """1 up to the band's top, cos^2 down to 0 at the roll-off's end, 0 beyond."""
    x = np.clip((frequency - top_hz) / (end_hz - top_hz), 0.0, 1.0)
    return np.cos(0.5 * np.pi * x) ** 2


def wavenumber_counts(top: FloatArray, vs: FloatArray, depths: FloatArray, receiver: float,
                      frequency: FloatArray, step: float) -> npt.NDArray[np.int64]:
    """Terms of the wavenumber sum for each source depth and frequency: up to the k at
    which the S wave's evanescent decay between source and receivers reaches DECAY."""
    bottoms = np.append(top[1:], np.inf)
    thickness = (np.clip(bottoms[None, :], receiver, depths[:, None])
                 - np.clip(top[None, :], receiver, depths[:, None]))  # (depths, layers)
    slowness2 = (2 * np.pi * frequency[None, :, None] / vs[None, None, :]) ** 2  # (1, freq, layers)

    def decay(k: FloatArray) -> FloatArray:
        return np.sum(thickness[:, None, :] * np.sqrt(np.maximum(k[..., None] ** 2 - slowness2, 0.0)), axis=-1)

    low = np.zeros((len(depths), len(frequency)))
    high = np.sqrt(slowness2.max(axis=-1)) + DECAY / (depths[:, None] - receiver)
    for _ in range(60):  # bisection on a decay that grows with k
        middle = 0.5 * (low + high)
        short = decay(middle) < DECAY
        low, high = np.where(short, middle, low), np.where(short, high, middle)
    return np.ascontiguousarray(np.ceil(high / step), dtype=np.int64)


def is_number(value: object) -> bool:
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_))


def checked_list(name: str, values: object) -> FloatArray:
    array = np.array(as_floats(name, values), ndmin=1)
    if array.ndim != 1 or array.size == 0 or not np.all(np.isfinite(array)):
        raise SettingError(name, shown(values), "must be a one-dimensional list of finite numbers of km, not empty")
    return array


def checked_tensor(tensor_nm: object) -> tuple[float, ...]:
    values = as_floats("tensor_nm", tensor_nm)
    if values.shape != (6,) or not np.all(np.isfinite(values)):
        raise SettingError("tensor_nm", shown(tensor_nm),
                           "must be six finite numbers (Mxx, Myy, Mzz, Mxy, Mxz, Myz) in N m")
    return tuple(float(value) for value in values)


def as_floats(name: str, values: object) -> FloatArray:
    """`values` as an array of floats, or a refusal naming them."""
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise SettingError(name, shown(values), "must be numbers") from None


def shown(value: object) -> object:
    """A value as a refusal quotes it, on one line: a number as it is, a list by its first
    few items, anything else by its first SHOWN_CHARACTERS characters."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value.item()
    if is_number(value):
        return float(value) if isinstance(value, np.floating) else value
    if isinstance(value, Iterable) and not isinstance(value, (str, bytes)):
        items = list(value)
        head = " ".join(quote(shown(item)) for item in items[:SHOWN_ITEMS])
        return f"[{head}{' ...' if len(items) > SHOWN_ITEMS else ''}]"
    text = " ".join(repr(value).split())
    return text if len(text) <= SHOWN_CHARACTERS else text[:SHOWN_CHARACTERS] + "..."


Array = TypeVar("Array", bound=npt.NDArray[Any])


def read_only(values: Array) -> Array:
    values.flags.writeable = False
    return values


# ---- Tables kept on disk -----------------------------------------------------------------
#
# In the embeddings' cache directory (field.cache_directory: $KINEMATIC_RUPTURE_CACHE,
# default $XDG_CACHE_HOME/kinematic-rupture, else ~/.cache/kinematic-rupture; "off" keeps
# none), one file per table named by a hash of its key (which takes the libraries and
# processor features that decide the bits from field.computing_libraries): a line of JSON (the key's hash, the array's shape and the SHA-256 of its bytes)
# then the complex128 values. A file is written under a temporary name and renamed into
# place, so concurrent writers each leave a whole file and a reader sees a whole file or
# none. A file is used only if its size is exactly what the key's shape needs, its header
# names the key and its bytes hash to the header's digest; anything else (a truncated,
# grown or tampered file) is a miss, and the table is computed afresh.


def cache_key(crust: LayeredModel, band: Band, depths: FloatArray, distances: FloatArray,
              receiver: float) -> str:
    """The SHA-256 of everything that decides a table's bits."""
    qp, qs = crust.quality_factors()
    described = {
        "format": CACHE_FORMAT, "package": __version__, "libraries": computing_libraries(),
        "constants": [ROLL_OFF_END, LEAD_PERIODS, REFERENCE_FREQUENCY_HZ, DAMPING,
                      WAVENUMBER_PERIOD, DECAY],
        "crust": [list(crust.top_km), list(crust.vp_km_s), list(crust.vs_km_s),
                  list(crust.rho_g_cm3), list(qp), list(qs)],
        "band": [band.max_frequency_hz, band.duration_s, band.dt_s],
        "receiver_depth_km": receiver,
        "depths_km": [float(value).hex() for value in depths],
        "distances_km": [float(value).hex() for value in distances],
    }
    text = json.dumps(described, sort_keys=True, default=repr)
    return hashlib.sha256(text.encode()).hexdigest()


def cache_path(key: str) -> Path | None:
    directory = cache_directory()
    return None if directory is None else directory / f"greens-{key}.bin"


def header_line(key: str, shape: tuple[int, ...], digest: str) -> bytes:
    return (json.dumps({"key": key, "shape": list(shape), "sha256": digest}) + "\n").encode()


def read_cached(key: str, shape: tuple[int, int, int, int]) -> ComplexArray | None:
    path = cache_path(key)
    if path is None:
        return None
    data_bytes = math.prod(shape) * np.dtype(np.complex128).itemsize
    try:
        with open(path, "rb") as stream:
            header = stream.readline(MAX_HEADER_BYTES)
            described = json.loads(header)
            expected = header_line(key, shape, str(described.get("sha256")))
            if header != expected or os.fstat(stream.fileno()).st_size != len(header) + data_bytes:
                return None
            values = np.empty(shape, np.complex128)
            if stream.readinto(values.data.cast("B")) != data_bytes:
                return None
    except (OSError, ValueError, AttributeError):  # absent, unreadable or not our header
        return None
    if hashlib.sha256(values.data.cast("B")).hexdigest() != described["sha256"]:
        return None
    return values


def write_cached(key: str, spectra: ComplexArray) -> None:
    path = cache_path(key)
    if path is None:
        return
    data = np.ascontiguousarray(spectra).data.cast("B")
    header = header_line(key, spectra.shape, hashlib.sha256(data).hexdigest())

    def write(stream: IO[bytes]) -> None:
        stream.write(header)
        stream.write(data)

    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, write)
    except OSError:
        pass  # a cache that cannot be written only means computing again next time
