"""Response spectra: RotD50 pseudo-spectral acceleration (Boore 2010).

For two orthogonal horizontal accelerograms a1 and a2 and each angle theta from 0 to 179
degrees, the oscillator of natural period T and damping ratio zeta responds to
a1 cos(theta) + a2 sin(theta); RotD50 is the median over the angles of the peak of that
response's displacement times (2 pi / T)^2 (Boore 2010), taken at each period on its own.
The oscillator's displacement is linear in the ground motion, so it is computed once per
component and rotated.

Each component's response comes from the frequency domain, as pyrotd computes it: the
record padded with zeros to at least PAD_PERIODS natural periods past its end (so that the
oscillator rings down before the transform wraps around), multiplied by the oscillator's
transfer function H(f) = -1 / (wn^2 - w^2 + 2 i zeta wn w), and transformed back on a grid
fine enough that a peak is missed by less than a fraction (1 - cos(pi / SAMPLES_PER_PERIOD))
of itself, 0.3%.
"""

import math

import numpy as np
import numpy.typing as npt
from scipy import fft

__all__ = ["rotd50", "rotd50_peak", "oscillator_displacement", "periods_for_band",
           "NGA_WEST2_PERIODS_S"]

FloatArray = npt.NDArray[np.float64]

DAMPING = 0.05
ANGLES_DEG = np.arange(180.0)
PAD_PERIODS = 10.0
SAMPLES_PER_PERIOD = 40
STANDARD_GRAVITY_M_S2 = 9.80665
# The NGA-West2 periods (s) at which the four models give coefficients (Bozorgnia et al.
# 2014); a spectrum is reported at those of them from the band's limit to 10 s.
NGA_WEST2_PERIODS_S = (0.01, 0.02, 0.03, 0.05, 0.075, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5,
                       0.75, 1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 7.5, 10.0)
LONGEST_PERIOD_S = 10.0


def periods_for_band(max_frequency_hz: float) -> FloatArray:
    """The NGA-West2 periods a band resolves, up to 10 s.

    Parameters
    ----------
    max_frequency_hz : float
        The band's highest frequency, Hz.

    Returns
    -------
    numpy.ndarray
        The periods of `NGA_WEST2_PERIODS_S` from 1 / max_frequency_hz to 10 s.

    Examples
    --------
    >>> periods_for_band(1.0).tolist()
    [1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 7.5, 10.0]
    """
    shortest = 1.0 / max_frequency_hz
    return np.array([period for period in NGA_WEST2_PERIODS_S
                     if shortest * (1 - 1e-9) <= period <= LONGEST_PERIOD_S])


def oscillator_displacement(acceleration: FloatArray, dt_s: float, period_s: float,
                            damping: float = DAMPING) -> tuple[FloatArray, float]:
    """The displacement of a damped oscillator under a ground acceleration, through the
    frequency domain, on a grid fine enough for its peak.

    Parameters
    ----------
    acceleration : numpy.ndarray
        Ground acceleration, m/s^2, (..., samples).
    dt_s : float
        Its sample interval, s.
    period_s : float
        The oscillator's natural period, s.
    damping : float
        Its damping ratio.

    Returns
    -------
    tuple
        (displacement, m, (..., fine samples); its sample interval, s).
    """
    samples = acceleration.shape[-1]
    pad = samples + int(math.ceil(PAD_PERIODS * period_s / dt_s))
    nfft = fft.next_fast_len(pad, real=True)
    fine = max(1, math.ceil(SAMPLES_PER_PERIOD * dt_s / period_s))
    omega = 2.0 * np.pi * np.fft.rfftfreq(nfft, dt_s)
    natural = 2.0 * np.pi / period_s
    transfer = -1.0 / (natural**2 - omega**2 + 2j * damping * natural * omega)
    spectrum = fft.rfft(acceleration, nfft, axis=-1) * transfer
    # The same spectrum on a grid `fine` times denser (zero-padded above the Nyquist).
    displacement = fft.irfft(spectrum, nfft * fine, axis=-1) * fine
    return displacement, dt_s / fine


def rotd50(first: FloatArray, second: FloatArray, dt_s: float, periods_s: FloatArray,
           damping: float = DAMPING) -> FloatArray:
    """RotD50 pseudo-spectral acceleration of two orthogonal horizontal accelerograms at each
    period (Boore 2010).

    Parameters
    ----------
    first, second : numpy.ndarray
        The two components' accelerations, m/s^2, (..., samples).
    dt_s : float
        Their sample interval, s.
    periods_s : numpy.ndarray
        The oscillators' periods, s.
    damping : float
        Their damping ratio (5% by default).

    Returns
    -------
    numpy.ndarray
        m/s^2, (..., periods).

    Examples
    --------
    A 1 Hz harmonic along one axis, at a stiff oscillator's period: RotD50 is the peak
    ground acceleration times the median of abs(cos(theta)) over the angles, about 0.7.

    >>> import numpy as np
    >>> t = np.arange(0, 60, 0.01)
    >>> psa = rotd50(np.sin(2 * np.pi * t), np.zeros_like(t), 0.01, np.array([0.01]))
    >>> round(float(psa[0]), 2)
    0.71
    """
    first, second = np.broadcast_arrays(np.asarray(first, dtype=np.float64),
                                        np.asarray(second, dtype=np.float64))
    leading = first.shape[:-1]
    records = first.reshape(-1, first.shape[-1]), second.reshape(-1, second.shape[-1])
    result = np.empty((records[0].shape[0], len(periods_s)))
    cosine = np.cos(np.radians(ANGLES_DEG))[:, None]
    sine = np.sin(np.radians(ANGLES_DEG))[:, None]
    for k, period in enumerate(periods_s):
        one, _ = oscillator_displacement(records[0], dt_s, float(period), damping)
        two, _ = oscillator_displacement(records[1], dt_s, float(period), damping)
        for record in range(len(one)):
            # The peak of |one cos + two sin| at every angle.
            peaks = np.abs(one[record] * cosine + two[record] * sine).max(axis=-1)
            result[record, k] = np.percentile(peaks, 50) * (2.0 * np.pi / period) ** 2
    return result.reshape(leading + (len(periods_s),))


def rotd50_peak(first: FloatArray, second: FloatArray) -> FloatArray:
    """RotD50 of the peak of two orthogonal horizontal records themselves, as PGV and PGA are
    defined for the NGA-West2 models: the median over the angles of the peak of
    a1 cos(theta) + a2 sin(theta).

    Parameters
    ----------
    first, second : numpy.ndarray
        The two components, (..., samples), in any one unit.

    Returns
    -------
    numpy.ndarray
        In that unit, (...).
    """
    first, second = np.broadcast_arrays(np.asarray(first, dtype=np.float64),
                                        np.asarray(second, dtype=np.float64))
    leading = first.shape[:-1]
    one, two = first.reshape(-1, first.shape[-1]), second.reshape(-1, second.shape[-1])
    cosine = np.cos(np.radians(ANGLES_DEG))[:, None]
    sine = np.sin(np.radians(ANGLES_DEG))[:, None]
    result = np.array([np.percentile(np.abs(one[k] * cosine + two[k] * sine).max(axis=-1), 50)
                       for k in range(len(one))])
    return result.reshape(leading)
