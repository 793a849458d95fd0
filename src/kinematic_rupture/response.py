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
    """The NGA-West2 periods from 1 / max_frequency_hz to 10 s."""
    shortest = 1.0 / max_frequency_hz
    return np.array([period for period in NGA_WEST2_PERIODS_S
                     if shortest * (1 - 1e-9) <= period <= LONGEST_PERIOD_S])


def oscillator_displacement(acceleration: FloatArray, dt_s: float, period_s: float,
                            damping: float = DAMPING) -> tuple[FloatArray, float]:
    """The displacement (m) of the oscillator under a ground acceleration (m/s^2), (...,
    samples), on a grid of its own; returns it and its interval."""
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
    """RotD50 pseudo-spectral acceleration (m/s^2) of two orthogonal horizontal
    accelerograms (..., samples), at each period: (..., periods)."""
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
    """RotD50 of the peak of two orthogonal horizontal records (..., samples) themselves,
    as PGV and PGA are defined for the NGA-West2 models: the median over the angles of the
    peak of a1 cos(theta) + a2 sin(theta)."""
    first, second = np.broadcast_arrays(np.asarray(first, dtype=np.float64),
                                        np.asarray(second, dtype=np.float64))
    leading = first.shape[:-1]
    one, two = first.reshape(-1, first.shape[-1]), second.reshape(-1, second.shape[-1])
    cosine = np.cos(np.radians(ANGLES_DEG))[:, None]
    sine = np.sin(np.radians(ANGLES_DEG))[:, None]
    result = np.array([np.percentile(np.abs(one[k] * cosine + two[k] * sine).max(axis=-1), 50)
                       for k in range(len(one))])
    return result.reshape(leading)
