"""The kinematic rules of Graves and Pitarka (2010, 2016): how fast the front runs, how long
each subfault slips, when it starts, and in which direction, given the slip and a few
standard-normal random fields on the fault.

Every rule takes unit-variance Gaussian fields drawn on the fault with the slip's own
covariance: `slip_field` (the field the slip was made from), and fields independent of it.
A perturbation correlated with slip at level rho is rho * slip_field + sqrt(1 - rho^2) *
independent, again unit-variance (the identity behind the "scor" settings of Graves and
Pitarka 2016).
"""

import math

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

DYNE_CM_PER_N_M = 1e7
# Mechanism factor alpha_T = 1 / (1 + fD fR C_alpha) (Graves and Pitarka 2015, eq. 2).
MECHANISM_C_ALPHA = 0.1
# The time perturbation grows from zero at the hypocentre to its full size where the front
# arrives this many perturbation amplitudes later, so that no subfault starts before the
# rupture does.
TIME_PERTURBATION_ONSET = 3.0


def correlated(base: FloatArray, independent: FloatArray, correlation: float) -> FloatArray:
    """A unit-variance field correlated with `base` at `correlation`."""
    return correlation * base + math.sqrt(1.0 - correlation**2) * independent


def shallow_weight(depth_km: FloatArray, shallow_km: float, transition_km: float) -> FloatArray:
    """1 above `shallow_km`, falling linearly to 0 over the next `transition_km` (the shallow
    zone of Graves and Pitarka 2010; its 5 to 8 km ramp as the Broadband Platform sets it)."""
    if transition_km <= 0:
        return (depth_km <= shallow_km).astype(np.float64)
    return np.clip((shallow_km + transition_km - depth_km) / transition_km, 0.0, 1.0)


def mechanism_factor(dip_deg: float, rake_deg: float) -> float:
    """alpha_T of Graves and Pitarka (2015, eq. 2): 1 for strike-slip, down to about 0.9 for a
    shallow-dipping thrust. fD = 1 for dips up to 45 degrees, falling linearly to 0 at 90;
    fR = 1 - |rake - 90| / 90 for rakes in [0, 180], else 0."""
    f_dip = 1.0 if dip_deg <= 45.0 else 1.0 - (dip_deg - 45.0) / 45.0
    f_rake = 1.0 - abs(rake_deg - 90.0) / 90.0 if 0.0 <= rake_deg <= 180.0 else 0.0
    return 1.0 / (1.0 + f_dip * f_rake * MECHANISM_C_ALPHA)


def mean_rise_time_s(moment_nm: float, coefficient: float, alpha: float) -> float:
    """tau_A = coefficient * alpha_T * M0^(1/3), M0 in dyne cm (Graves and Pitarka 2010,
    eq. 8, with coefficient 1.6e-9 s; Somerville et al. 1999 had 2.03e-9 s)."""
    return coefficient * alpha * (moment_nm * DYNE_CM_PER_N_M) ** (1.0 / 3.0)


def rupture_velocity_fraction(depth_km: FloatArray, slip_field: FloatArray,
                              speed_field: FloatArray, mean_fraction: float, shallow_factor: float,
                              shallow_km: float, transition_km: float, std: float,
                              slip_correlation: float, lowest: float, highest: float) -> FloatArray:
    """Rupture speed over shear-wave speed at every subfault: `mean_fraction` (0.8, Graves and
    Pitarka 2010), times `shallow_factor` in the shallow zone, times 1 plus `std` times a
    field correlated with slip at `slip_correlation` (faster where slip is larger), kept
    within [`lowest`, `highest`]."""
    base = mean_fraction * (1.0 - (1.0 - shallow_factor) * shallow_weight(depth_km, shallow_km,
                                                                          transition_km))
    perturbed = base * (1.0 + std * correlated(slip_field, speed_field, slip_correlation))
    return np.clip(perturbed, lowest, highest)


def rise_times_s(slip_m: FloatArray, depth_km: FloatArray, rise_field: FloatArray,
                 mean_s: float, shallow_factor: float, shallow_km: float, transition_km: float,
                 slip_correlation: float, slip_log_std: float, floor_fraction: float) -> FloatArray:
    """Every subfault's rise time: k F(z) sqrt(slip) exp(sigma xi), with F = `shallow_factor`
    in the shallow zone and 1 below it (Graves and Pitarka 2010, eq. 7), xi an independent
    field, and k set so that the slipping subfaults average `mean_s` (GP2010).

    sigma gives log rise time a correlation of `slip_correlation` with log slip (whose
    standard deviation is `slip_log_std`): the rise time grows with slip plus a random part
    (Graves and Pitarka 2016). No rise time is shorter than `floor_fraction` of the mean:
    sqrt(slip) would give the nearly still edges of the fault pulses too short to sample.
    """
    slipping = slip_m > 0
    random_std = 0.5 * slip_log_std * math.sqrt(1.0 / slip_correlation**2 - 1.0)
    depth_factor = 1.0 + (shallow_factor - 1.0) * shallow_weight(depth_km, shallow_km, transition_km)
    shape = depth_factor * np.sqrt(slip_m) * np.exp(random_std * rise_field)
    rise = mean_s * shape / shape[slipping].mean()
    return np.where(slipping, np.maximum(rise, floor_fraction * mean_s), 0.0)


def time_perturbation_s(front_s: FloatArray, slip_field: FloatArray, time_field: FloatArray,
                        moment_nm: float, intercept_s: float, slope: float,
                        slip_correlation: float) -> FloatArray:
    """Rupture times made incoherent: the front's time minus dt r, where dt = b0 + b1
    M0^(1/3) (M0 in dyne cm; b0 = 0.1 s and b1 = 5e-10 in Graves and Pitarka 2016 and
    Wirth et al. 2017) and r is a field correlated with slip at `slip_correlation`
    (0.8): subfaults of large slip start early, of small slip late. The perturbation
    grows from nothing at the hypocentre, and no time is negative."""
    amplitude = intercept_s + slope * (moment_nm * DYNE_CM_PER_N_M) ** (1.0 / 3.0)
    if amplitude <= 0:
        return front_s.copy()
    onset = np.minimum(1.0, front_s / (TIME_PERTURBATION_ONSET * amplitude))
    shift = amplitude * correlated(slip_field, time_field, slip_correlation) * onset
    return np.maximum(front_s - shift, 0.0)


def rake_deg(mean_deg: FloatArray, rake_field: FloatArray, std_deg: float,
             largest_deg: float) -> FloatArray:
    """The rake at every subfault: the mean plus a Gaussian perturbation of `std_deg`
    (15 degrees, Graves and Pitarka 2010, 2016), kept within `largest_deg` of the mean."""
    rake = mean_deg + np.clip(std_deg * rake_field, -largest_deg, largest_deg)
    wrapped = (rake + 180.0) % 360.0 - 180.0
    return np.where(wrapped == -180.0, 180.0, wrapped)  # in (-180, 180], as Aki and Richards


def largest_frequency_hz(cell_km: float, speed_km_s: FloatArray) -> float:
    """The highest frequency the chart resolves: the front is sampled every cell, that is
    every h / Vr seconds, so frequencies up to Vr / (2 h) are resolved (taking the slowest
    twentieth of the subfaults' rupture speeds). Above it, the smoothing of each subfault's
    pulse over its cell keeps the spectrum's level, not its phases."""
    return float(np.percentile(speed_km_s, 5.0)) / (2.0 * cell_km)
