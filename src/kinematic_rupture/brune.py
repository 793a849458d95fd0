"""Brune's (1970) omega-squared source model, and how a moment-rate function compares with
it: its amplitude in frequency, averaged over fractional-octave bands, and the corner
frequency that fits it best.

.. autosummary::

   amplitude_spectrum
   brune
   corner_from_stress_drop
   stress_drop_from_corner
   band_average
   fit_corner
"""

import math

import numpy as np
import numpy.typing as npt

__all__ = ["amplitude_spectrum", "brune", "corner_from_stress_drop", "stress_drop_from_corner",
           "band_average", "fit_corner"]

FloatArray = npt.NDArray[np.float64]

# fc = 0.4906 beta (stress drop / M0)^(1/3), beta in m/s, stress drop in Pa, M0 in N m
# (Brune 1970, with r = 2.34 beta / (2 pi fc) and stress drop = 7 M0 / (16 r^3)).
BRUNE_CONSTANT = 0.4906
# Shear-wave speed at the source for the corner frequency, m/s.
BRUNE_BETA_M_S = 3500.0
# Bands per octave for smoothing a spectrum before comparing it.
BANDS_PER_OCTAVE = 3


def amplitude_spectrum(rate: FloatArray, dt_s: float) -> tuple[FloatArray, FloatArray]:
    """The amplitude spectrum of a moment-rate function, zero-padded to at least four times
    its length.

    Parameters
    ----------
    rate : numpy.ndarray
        The moment rate, N m/s, every `dt_s`.
    dt_s : float
        Its sample interval, s.

    Returns
    -------
    tuple of numpy.ndarray
        (frequency, Hz; ``abs(FFT) dt``, N m): the moment at frequency 0.
    """
    size = 1 << max(1, math.ceil(math.log2(max(rate.size, 1) * 4)))
    frequency = np.asarray(np.fft.rfftfreq(size, dt_s), dtype=np.float64)
    return frequency, np.abs(np.fft.rfft(rate, size)) * dt_s


def brune(frequency: FloatArray, moment_nm: float, corner_hz: float) -> FloatArray:
    """Brune's (1970) spectrum, M0 / (1 + (f / fc)^2).

    Parameters
    ----------
    frequency : numpy.ndarray
        Frequencies f, Hz.
    moment_nm : float
        The moment M0, N m.
    corner_hz : float
        The corner frequency fc, Hz.

    Returns
    -------
    numpy.ndarray
        The amplitude, N m.
    """
    return moment_nm / (1.0 + (frequency / corner_hz) ** 2)


def corner_from_stress_drop(moment_nm: float, stress_drop_pa: float,
                            beta_m_s: float = BRUNE_BETA_M_S) -> float:
    """Brune's (1970) corner frequency of a stress drop: fc = 0.4906 beta (stress drop /
    M0)^(1/3).

    Parameters
    ----------
    moment_nm : float
        The moment M0, N m.
    stress_drop_pa : float
        The stress drop, Pa.
    beta_m_s : float
        The shear-wave speed at the source, m/s.

    Returns
    -------
    float
        fc, Hz.

    Examples
    --------
    >>> round(corner_from_stress_drop(3.548e19, 3e6), 3)
    0.075
    """
    return BRUNE_CONSTANT * beta_m_s * (stress_drop_pa / moment_nm) ** (1.0 / 3.0)


def stress_drop_from_corner(moment_nm: float, corner_hz: float,
                            beta_m_s: float = BRUNE_BETA_M_S) -> float:
    """The stress drop of a Brune (1970) corner frequency, the inverse of
    `corner_from_stress_drop`.

    Parameters
    ----------
    moment_nm : float
        The moment M0, N m.
    corner_hz : float
        The corner frequency, Hz.
    beta_m_s : float
        The shear-wave speed at the source, m/s.

    Returns
    -------
    float
        The stress drop, Pa.
    """
    return moment_nm * (corner_hz / (BRUNE_CONSTANT * beta_m_s)) ** 3


def band_average(frequency: FloatArray, amplitude: FloatArray, low_hz: float,
                 high_hz: float) -> tuple[FloatArray, FloatArray]:
    """A spectrum averaged over fractional-octave bands (`BANDS_PER_OCTAVE` an octave): the raw
    spectrum of one rupture scatters too much to compare point by point.

    Parameters
    ----------
    frequency : numpy.ndarray
        Frequencies, Hz.
    amplitude : numpy.ndarray
        Amplitudes at them.
    low_hz, high_hz : float
        The bands' range, Hz.

    Returns
    -------
    tuple of numpy.ndarray
        (each band's centre, Hz; its root-mean-square amplitude), for the bands that hold a
        frequency. The last band ends at `high_hz` (nothing above it is averaged) and takes
        in a remainder of less than half a band, so that no band is a sliver of a few
        samples; each centre is the geometric mean of its edges.

    Raises
    ------
    ValueError
        Unless 0 < `low_hz` < `high_hz`, both finite.
    """
    if not 0.0 < low_hz < high_hz < math.inf:
        raise ValueError(f"band_average: the bands run from {low_hz!r} to {high_hz!r} Hz; "
                         "they need 0 < low_hz < high_hz, both finite")
    count = max(1, math.floor(math.log2(high_hz / low_hz) * BANDS_PER_OCTAVE + 0.5))
    edges = low_hz * 2.0 ** (np.arange(count + 1) / BANDS_PER_OCTAVE)
    edges[-1] = high_hz
    centres, levels = [], []
    for low, high in zip(edges[:-1], edges[1:]):
        inside = (frequency >= low) & (frequency < high)
        if inside.any():
            centres.append(math.sqrt(low * high))
            levels.append(math.sqrt(float(np.mean(amplitude[inside] ** 2))))
    return np.array(centres), np.array(levels)


def fit_corner(frequency: FloatArray, amplitude: FloatArray, moment_nm: float,
               high_hz: float) -> float:
    """The corner frequency whose Brune spectrum best fits the band-averaged amplitude (least
    squares in log amplitude) between a hundredth of a hertz and `high_hz`.

    Parameters
    ----------
    frequency : numpy.ndarray
        Frequencies, Hz.
    amplitude : numpy.ndarray
        The amplitude spectrum, N m.
    moment_nm : float
        The moment, N m: the spectrum's level at low frequency.
    high_hz : float
        The highest frequency fitted, Hz.

    Returns
    -------
    float
        The corner, Hz, among 600 from 0.005 to 5 Hz spaced evenly in log.
    """
    centres, levels = band_average(frequency, amplitude, 0.01, high_hz)
    candidates = np.geomspace(0.005, 5.0, 600)
    misfit = [float(np.mean(np.log(levels / brune(centres, moment_nm, fc)) ** 2))
              for fc in candidates]
    return float(candidates[int(np.argmin(misfit))])
