"""Brune's (1970) omega-squared source model, and how a moment-rate function compares
with it: its amplitude in frequency, averaged over fractional-octave bands, and the corner
frequency that fits it best."""

import math

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

# fc = 0.4906 beta (stress drop / M0)^(1/3), beta in m/s, stress drop in Pa, M0 in N m
# (Brune 1970, with r = 2.34 beta / (2 pi fc) and stress drop = 7 M0 / (16 r^3)).
BRUNE_CONSTANT = 0.4906
# Shear-wave speed at the source for the corner frequency, m/s.
BRUNE_BETA_M_S = 3500.0
# Bands per octave for smoothing a spectrum before comparing it.
BANDS_PER_OCTAVE = 3


def amplitude_spectrum(rate: FloatArray, dt_s: float) -> tuple[FloatArray, FloatArray]:
    """(frequency in Hz, |FFT| dt in N m) of a moment-rate function sampled every `dt_s`,
    zero-padded to at least four times its length."""
    size = 1 << max(1, math.ceil(math.log2(max(rate.size, 1) * 4)))
    frequency = np.asarray(np.fft.rfftfreq(size, dt_s), dtype=np.float64)
    return frequency, np.abs(np.fft.rfft(rate, size)) * dt_s


def brune(frequency: FloatArray, moment_nm: float, corner_hz: float) -> FloatArray:
    """M0 / (1 + (f / fc)^2) (Brune 1970)."""
    return moment_nm / (1.0 + (frequency / corner_hz) ** 2)


def corner_from_stress_drop(moment_nm: float, stress_drop_pa: float,
                            beta_m_s: float = BRUNE_BETA_M_S) -> float:
    return BRUNE_CONSTANT * beta_m_s * (stress_drop_pa / moment_nm) ** (1.0 / 3.0)


def stress_drop_from_corner(moment_nm: float, corner_hz: float,
                            beta_m_s: float = BRUNE_BETA_M_S) -> float:
    return moment_nm * (corner_hz / (BRUNE_CONSTANT * beta_m_s)) ** 3


def band_average(frequency: FloatArray, amplitude: FloatArray, low_hz: float,
                 high_hz: float) -> tuple[FloatArray, FloatArray]:
    """(centre, root-mean-square amplitude) over fractional-octave bands from `low_hz` to
    `high_hz`: the raw spectrum of one rupture scatters too much to compare point by point."""
    edges = low_hz * 2.0 ** (np.arange(0, math.log2(high_hz / low_hz) * BANDS_PER_OCTAVE + 1.5)
                             / BANDS_PER_OCTAVE)
    centres, levels = [], []
    for low, high in zip(edges[:-1], edges[1:]):
        inside = (frequency >= low) & (frequency < high)
        if inside.any():
            centres.append(math.sqrt(low * high))
            levels.append(math.sqrt(float(np.mean(amplitude[inside] ** 2))))
    return np.array(centres), np.array(levels)


def fit_corner(frequency: FloatArray, amplitude: FloatArray, moment_nm: float,
               high_hz: float) -> float:
    """The corner frequency whose Brune spectrum best fits the band-averaged amplitude
    (least squares in log amplitude) between a hundredth of a hertz and `high_hz`."""
    centres, levels = band_average(frequency, amplitude, 0.01, high_hz)
    candidates = np.geomspace(0.005, 5.0, 600)
    misfit = [float(np.mean(np.log(levels / brune(centres, moment_nm, fc)) ** 2))
              for fc in candidates]
    return float(candidates[int(np.argmin(misfit))])
