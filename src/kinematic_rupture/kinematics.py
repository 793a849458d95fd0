"""The kinematic rules of Graves and Pitarka (2010, 2016): how fast the front runs, how long
each subfault slips, when it starts, and in which direction, given the slip and a few
standard-normal random fields on the fault.

Every rule takes unit-variance Gaussian fields drawn on the fault with the slip's own
covariance: `slip_field` (the field the slip was made from), and fields independent of it.
A perturbation correlated with slip at level rho is rho * slip_field + sqrt(1 - rho^2) *
independent, again unit-variance (the identity behind the "scor" settings of Graves and
Pitarka 2016).

Arrays are per subfault, flat, in subfault order; every setting after them is taken by
keyword, as one of the objects of `physics_settings` or a number with its unit in its
name, so that no two can be swapped without a word.

.. autosummary::

   correlated
   shallow_weight
   mechanism_factor
   mean_rise_time_s
   rupture_velocity_fraction
   rise_times_s
   time_perturbation_amplitude_s
   time_shift_s
   steepness
   bounded_scale
   rake_deg
   largest_frequency_hz
"""

import math

import numpy as np
import numpy.typing as npt

from .physics_settings import Rake, RiseTime, RuptureSpeed, ShallowZone, TimePerturbation

__all__ = ["correlated", "shallow_weight", "mechanism_factor", "mean_rise_time_s",
           "rupture_velocity_fraction", "rise_times_s", "time_perturbation_amplitude_s",
           "time_shift_s", "steepness", "bounded_scale", "rake_deg", "largest_frequency_hz"]

FloatArray = npt.NDArray[np.float64]

DYNE_CM_PER_N_M = 1e7
# Mechanism factor alpha_T = 1 / (1 + fD fR C_alpha) (Graves and Pitarka 2015, eq. 2).
MECHANISM_C_ALPHA = 0.1


def correlated(base: FloatArray, independent: FloatArray, *, correlation: float) -> FloatArray:
    """A unit-variance field correlated with `base` at `correlation`:
    ``correlation * base + sqrt(1 - correlation^2) * independent``.

    Parameters
    ----------
    base, independent : numpy.ndarray
        Two independent unit-variance Gaussian fields of one shape.
    correlation : float
        The correlation with `base`, 0 to 1.

    Returns
    -------
    numpy.ndarray
        The field, unit-variance where both are.
    """
    return correlation * base + math.sqrt(1.0 - correlation**2) * independent


def shallow_weight(depth_km: FloatArray, *, zone: ShallowZone) -> FloatArray:
    """How much of the shallow zone's reduction applies at each depth: 1 above the zone's
    `depth_km`, falling linearly to 0 over the next `transition_km` (the shallow zone of
    Graves and Pitarka 2010; its 5 to 8 km ramp as the Broadband Platform sets it).

    Parameters
    ----------
    depth_km : numpy.ndarray
        Depths below the surface, km.
    zone : ShallowZone
        The zone (`RuptureSettings.shallow_zone`).

    Returns
    -------
    numpy.ndarray
        Weights from 0 to 1; a step at `depth_km` where `transition_km` is 0.

    Examples
    --------
    >>> import numpy as np
    >>> from kinematic_rupture.physics_settings import ShallowZone
    >>> shallow_weight(np.array([2.0, 6.5, 10.0]),
    ...                zone=ShallowZone(depth_km=5.0, transition_km=3.0)).tolist()
    [1.0, 0.5, 0.0]
    """
    shallow_km, transition_km = zone.depth_km, zone.transition_km
    if transition_km <= 0:
        return (depth_km <= shallow_km).astype(np.float64)
    return np.clip((shallow_km + transition_km - depth_km) / transition_km, 0.0, 1.0)


def mechanism_factor(*, dip_deg: float, rake_deg: float) -> float:
    """alpha_T of Graves and Pitarka (2015, eq. 2), 1 / (1 + fD fR C_alpha): 1 for
    strike-slip, down to about 0.9 for a shallow-dipping thrust. fD = 1 for dips up to 45
    degrees, falling linearly to 0 at 90; ``fR = 1 - abs(rake - 90) / 90`` for rakes in
    [0, 180], else 0; C_alpha = `MECHANISM_C_ALPHA`.

    Parameters
    ----------
    dip_deg : float
        The plane's dip, degrees.
    rake_deg : float
        Its rake, degrees.

    Returns
    -------
    float
        The factor, from 1 / (1 + C_alpha) to 1.

    Examples
    --------
    >>> mechanism_factor(dip_deg=90.0, rake_deg=180.0)
    1.0
    >>> round(mechanism_factor(dip_deg=30.0, rake_deg=90.0), 4)
    0.9091
    """
    f_dip = 1.0 if dip_deg <= 45.0 else 1.0 - (dip_deg - 45.0) / 45.0
    f_rake = 1.0 - abs(rake_deg - 90.0) / 90.0 if 0.0 <= rake_deg <= 180.0 else 0.0
    return 1.0 / (1.0 + f_dip * f_rake * MECHANISM_C_ALPHA)


def mean_rise_time_s(*, moment_nm: float, rise_time: RiseTime, alpha: float) -> float:
    """The mean rise time tau_A = coefficient * alpha_T * M0^(1/3), M0 in dyne cm (Graves and
    Pitarka 2010, eq. 8, with coefficient 1.6e-9 s; Somerville et al. 1999 had 2.03e-9 s).

    Parameters
    ----------
    moment_nm : float
        The seismic moment M0, N m.
    rise_time : RiseTime
        Its `coefficient`, s per (dyne cm)^(1/3), is the relation's.
    alpha : float
        The mechanism factor alpha_T (`mechanism_factor`), averaged over the planes.

    Returns
    -------
    float
        The mean rise time, s.
    """
    coefficient = rise_time.coefficient
    return coefficient * alpha * (moment_nm * DYNE_CM_PER_N_M) ** (1.0 / 3.0)


def rupture_velocity_fraction(depth_km: FloatArray, slip_field: FloatArray,
                              speed_field: FloatArray, *, speed: RuptureSpeed,
                              shallow: ShallowZone) -> FloatArray:
    """Rupture speed over shear-wave speed at every subfault: the speed's `fraction` (0.8,
    Graves and Pitarka 2010), times its `shallow_factor` in the `shallow` zone, times 1 plus
    its `std` times a field correlated with slip at its `slip_correlation` (faster where
    slip is larger), kept within [`min_fraction`, `max_fraction`].

    Parameters
    ----------
    depth_km : numpy.ndarray
        Every subfault's depth, km.
    slip_field : numpy.ndarray
        The unit-variance field the slip follows (its smooth base).
    speed_field : numpy.ndarray
        An independent unit-variance field.
    speed : RuptureSpeed
        The fractions, the random part's size and its correlation with slip.
    shallow : ShallowZone
        Where the shallow factor applies.

    Returns
    -------
    numpy.ndarray
        The fraction of the shear-wave speed (dimensionless) at every subfault.
    """
    base = speed.fraction * (1.0 - (1.0 - speed.shallow_factor) * shallow_weight(depth_km,
                                                                                 zone=shallow))
    perturbed = base * (1.0 + speed.std * correlated(slip_field, speed_field,
                                                     correlation=speed.slip_correlation))
    return np.clip(perturbed, speed.min_fraction, speed.max_fraction)


def rise_times_s(slip_m: FloatArray, depth_km: FloatArray, rise_field: FloatArray, *,
                 mean_s: float, rise_time: RiseTime, shallow: ShallowZone, slip_log_std: float,
                 widening_s: npt.ArrayLike) -> FloatArray:
    """Every subfault's pulse duration: k F(z) sqrt(slip) exp(sigma xi) (Graves and Pitarka
    2010, eq. 7, with F = the rise time's `shallow_factor` in the `shallow` zone and 1
    below it, and the random part of Graves and Pitarka 2016), its logarithm kept within
    a factor `spread` of the median by a soft bound, and k set so that the rise times as
    written (each pulse widened by `widening_s`, the smoothing over its cell) average
    `mean_s` over the slipping subfaults.

    sigma gives log rise time a correlation of the rise time's `slip_correlation` with log
    slip (whose standard deviation is `slip_log_std`). The bound scales the log rise times'
    offsets from their median down, all by one factor, until all but
    `RISE_TIME_BEYOND_SPREAD` of them lie within log(spread), and clips those few: the
    distribution keeps its shape (no more than `RISE_TIME_BEYOND_SPREAD` of them reach a
    bound) and the longest stays a few times the mean. The pulses' own durations average at
    least `MIN_PULSE_SHARE` of `mean_s`, however much the smoothing widens them.

    Parameters
    ----------
    slip_m : numpy.ndarray
        Every subfault's slip, m; those with none get no rise time.
    depth_km : numpy.ndarray
        Their depths, km.
    rise_field : numpy.ndarray
        A unit-variance field independent of the slip's.
    mean_s : float
        The mean rise time as written, s (`mean_rise_time_s`).
    rise_time : RiseTime
        The shallow factor, the correlation with slip and the spread.
    shallow : ShallowZone
        Where the shallow factor applies.
    slip_log_std : float
        The standard deviation of log slip (`SlipSettings.log_std`).
    widening_s : array_like
        How much the smoothing over its cell lengthens each subfault's pulse, s.

    Returns
    -------
    numpy.ndarray
        The pulses' rise times, s, before that smoothing; 0 where there is no slip.
    """
    shallow_factor, slip_correlation = rise_time.shallow_factor, rise_time.slip_correlation
    spread = rise_time.spread
    slipping = slip_m > 0
    if not slipping.any():
        return np.zeros_like(slip_m)
    random_std = 0.5 * slip_log_std * math.sqrt(1.0 / slip_correlation**2 - 1.0)
    depth_factor = 1.0 + (shallow_factor - 1.0) * shallow_weight(depth_km, zone=shallow)
    log_shape = (np.log(depth_factor[slipping]) + 0.5 * np.log(slip_m[slipping])
                 + random_std * rise_field[slipping])
    offset = log_shape - np.median(log_shape)
    bound = math.log(spread)
    reach = float(np.quantile(np.abs(offset), 1.0 - RISE_TIME_BEYOND_SPREAD))
    shape = np.exp(np.clip(offset * min(1.0, bound / reach) if reach > 0 else offset,
                           -bound, bound))
    scale = max(mean_s - float(np.asarray(widening_s, dtype=np.float64)[slipping].mean()),
                MIN_PULSE_SHARE * mean_s) / float(shape.mean())
    rise = np.zeros_like(slip_m)
    rise[slipping] = scale * shape
    return rise


# The share of slipping subfaults whose log rise time may lie beyond the spread's bound
# (and is clipped to it): the rest are brought within it by scaling.
RISE_TIME_BEYOND_SPREAD = 0.05
# The pulses' own durations average at least this share of the mean rise time, however
# much the smoothing over coarse cells widens them.
MIN_PULSE_SHARE = 0.2


def time_perturbation_amplitude_s(*, moment_nm: float, perturbation: TimePerturbation) -> float:
    """The rupture-time perturbation's amplitude dt = b0 + b1 M0^(1/3), M0 in dyne cm (Graves
    and Pitarka 2016, Wirth et al. 2017), no less than 0.

    Parameters
    ----------
    moment_nm : float
        The seismic moment M0, N m.
    perturbation : TimePerturbation
        b0 is its `intercept_s` (s), b1 its `slope` (s per (dyne cm)^(1/3)).

    Returns
    -------
    float
        The amplitude, s, before `bounded_scale` keeps the front below the shear-wave speed.
    """
    intercept_s, slope = perturbation.intercept_s, perturbation.slope
    return max(0.0, intercept_s + slope * (moment_nm * DYNE_CM_PER_N_M) ** (1.0 / 3.0))


def time_shift_s(front_s: FloatArray, field: FloatArray, *, amplitude_s: float) -> FloatArray:
    """How much earlier than the front each subfault starts: dt r, growing from nothing at the
    hypocentre as 1 - exp(-T / (`TIME_PERTURBATION_ONSET` dt)), so that no subfault starts
    before the rupture and the growth adds little to the shift's gradient.

    Parameters
    ----------
    front_s : numpy.ndarray
        The front's arrival times T, s.
    field : numpy.ndarray
        The unit-variance field r, correlated with slip.
    amplitude_s : float
        The amplitude dt, s (`time_perturbation_amplitude_s`).

    Returns
    -------
    numpy.ndarray
        The shift, s, to subtract from `front_s`; zeros when `amplitude_s` is not positive.
    """
    if amplitude_s <= 0:
        return np.zeros_like(front_s)
    onset = -np.expm1(-front_s / (TIME_PERTURBATION_ONSET * amplitude_s))
    return np.asarray(amplitude_s * field * onset, dtype=np.float64)


def steepness(shift_s: FloatArray, front_s: FloatArray, speed_km_s: FloatArray,
              limit_km_s: FloatArray, *, cell_km: float) -> FloatArray:
    """On a chart's grids: how far the shift may be scaled before the written times run
    faster than the limit, as its inverse (above 1, the whole shift would run them faster).

    The front's slowness is s = n / Vr, n its direction of travel (from the front's
    gradient); the written times' is s - c g, g the shift's gradient. They stay no faster
    than the limit while norm(s - c g) >= 1 / limit: every c when g points across or
    against the front's travel, and up to the smaller root of norm(s - c g)^2 = 1 / limit^2
    otherwise (room / norm(g), room = 1 / Vr - 1 / limit, when g runs along n). Where the
    front has no direction (its gradient vanishes), the bound takes g along n.

    Parameters
    ----------
    shift_s : numpy.ndarray
        The time shift on the chart's grid (rows down dip), s.
    front_s : numpy.ndarray
        The front's arrival times there, s.
    speed_km_s : numpy.ndarray
        The rupture speed Vr there, km/s.
    limit_km_s : numpy.ndarray
        The fastest the written times may run, km/s.
    cell_km : float
        The grid's spacing, km.

    Returns
    -------
    numpy.ndarray
        1 / (the largest scale), dimensionless; 0 where no scale speeds the front up,
        infinite where the front has no room and the shift would speed it up.
    """
    shift_gradient = axis_gradients(shift_s, cell_km)
    front_gradient = axis_gradients(front_s, cell_km)
    along = np.hypot(*front_gradient)
    with np.errstate(divide="ignore", invalid="ignore"):
        direction = [np.where(along > 0, part / along, 0.0) for part in front_gradient]
        g2 = shift_gradient[0] ** 2 + shift_gradient[1] ** 2
        g_along = np.where(along > 0, direction[0] * shift_gradient[0]
                           + direction[1] * shift_gradient[1], np.sqrt(g2)) / speed_km_s
        room2 = 1.0 / speed_km_s ** 2 - 1.0 / limit_km_s ** 2
        disc = g_along ** 2 - g2 * room2
        largest = np.where((g_along <= 0) | (disc < 0), np.inf,
                           np.where(room2 > 0, (g_along - np.sqrt(np.maximum(disc, 0.0))) / g2,
                                    0.0))
        return np.where(largest > 0, 1.0 / largest, np.inf)


def axis_gradients(values: FloatArray, cell_km: float) -> tuple[FloatArray, FloatArray]:
    """Central differences of a chart's grid down dip and along strike (zero along an
    axis of one cell)."""
    down = np.gradient(values, cell_km, axis=0) if values.shape[0] > 1 else np.zeros_like(values)
    along = np.gradient(values, cell_km, axis=1) if values.shape[1] > 1 else np.zeros_like(values)
    return down, along


def bounded_scale(steepness_values: FloatArray) -> float:
    """The factor that brings the shift's steepness to at most 1 on all but
    `TIME_PERTURBATION_EXCEEDANCE` of the subfaults (1 when it is already).

    Parameters
    ----------
    steepness_values : numpy.ndarray
        Every subfault's `steepness`.

    Returns
    -------
    float
        The factor, in (0, 1].
    """
    if not steepness_values.size:
        return 1.0
    high = float(np.quantile(steepness_values, 1.0 - TIME_PERTURBATION_EXCEEDANCE))
    return 1.0 if high <= 1.0 else 1.0 / high


# The time perturbation grows from nothing at the hypocentre over this many of its
# amplitudes of rupture time (1 - 1/e of it by then).
TIME_PERTURBATION_ONSET = 10.0
# The share of subfaults on which the time perturbation's gradient may exceed the room
# the front leaves below the shear-wave speed (the rest are kept within it by scaling
# the whole perturbation down).
TIME_PERTURBATION_EXCEEDANCE = 0.01


def rake_deg(mean_deg: FloatArray, rake_field: FloatArray, *, variation: Rake,
             weight: FloatArray) -> FloatArray:
    """The rake at every subfault: the mean plus a Gaussian perturbation of the variation's
    `std_deg` (15 degrees, Graves and Pitarka 2010, 2016) kept within its
    `max_deviation_deg`, centred so that its `weight`-weighted circular mean (the slip's) is
    zero: the rupture keeps its mechanism.

    Parameters
    ----------
    mean_deg : numpy.ndarray
        Every subfault's plane's rake, degrees.
    rake_field : numpy.ndarray
        A unit-variance field independent of the slip's.
    variation : Rake
        The perturbation's standard deviation and largest deviation, degrees.
    weight : numpy.ndarray
        The weights of the centring (the slip, m).

    Returns
    -------
    numpy.ndarray
        The rake, degrees, in (-180, 180] (Aki and Richards).
    """
    std_deg, largest_deg = variation.std_deg, variation.max_deviation_deg
    deviation = np.clip(std_deg * rake_field, -largest_deg, largest_deg)
    if weight.sum() > 0:
        for _ in range(RAKE_CENTRING_PASSES):
            angle = np.radians(deviation)
            mean = math.degrees(math.atan2(float((weight * np.sin(angle)).sum()),
                                           float((weight * np.cos(angle)).sum())))
            if abs(mean) < RAKE_CENTRED_DEG:
                break
            deviation = np.clip(deviation - mean, -largest_deg, largest_deg)
    rake = mean_deg + deviation
    wrapped = (rake + 180.0) % 360.0 - 180.0
    return np.where(wrapped == -180.0, 180.0, wrapped)  # in (-180, 180], as Aki and Richards


# Centring and clipping again until the weighted circular mean (the mean of directions,
# as a file's reader takes it) is within RAKE_CENTRED_DEG of the plane's rake: a few
# passes do it; centring the plain mean left the circular one up to 0.08 degrees off.
RAKE_CENTRING_PASSES = 20
RAKE_CENTRED_DEG = 1e-6


def largest_frequency_hz(speed_km_s: FloatArray, *, cell_km: float) -> float:
    """The highest frequency the cells resolve: the front is sampled every cell, that is every
    h / Vr seconds, so frequencies up to Vr / (2 h) are resolved (taking the slowest
    twentieth of the subfaults' rupture speeds). Above it, the smoothing of each subfault's
    pulse over its cell keeps the spectrum's level, not its phases.

    Parameters
    ----------
    speed_km_s : numpy.ndarray
        The subfaults' rupture speeds, km/s.
    cell_km : float
        The cells' side h, km.

    Returns
    -------
    float
        The frequency, Hz.

    Examples
    --------
    >>> import numpy as np
    >>> largest_frequency_hz(np.full(10, 2.5), cell_km=0.5)
    2.5
    """
    return float(np.percentile(speed_km_s, 5.0)) / (2.0 * cell_km)
