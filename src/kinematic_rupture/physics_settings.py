"""The rupture's settings by concept: small frozen objects that check themselves.

`RuptureSettings` stores every setting flat (as settings files, sidecars and ``--set``
name them) and gives these objects by concept; the rules of `kinematics` take them by
keyword, so that no two of their numbers can be swapped without a word. Each object
refuses a bad value under the flat setting's name, as `RuptureSettings` does:
``RuptureSpeed(..., std=2.0)`` raises ``SettingError("rupture_velocity_std", 2.0, ...)``.

None has defaults of its own: the defaults are `RuptureSettings`'s, so one is changed by
replacing a field of the settings' own (see the example of `RuptureSpeed`).

.. autosummary::

   SlipSettings
   ShallowZone
   RuptureSpeed
   RiseTime
   TimePerturbation
   Rake
"""

import math
from dataclasses import dataclass
from typing import Any, ClassVar, Self

from . import checks
from .errors import SettingError
from .geometry import DEPTH_REASON, MAX_DEPTH_KM

__all__ = ["SlipSettings", "ShallowZone", "RuptureSpeed", "RiseTime", "TimePerturbation", "Rake"]

# Bounds of the settings that have no natural one, each far beyond what a rupture uses,
# so that no arithmetic of the build overflows:
# correlation lengths beyond a quarter of the Earth's circumference give the same, nearly
# uniform field on a fault of any size the geometry allows;
MAX_CORRELATION_KM = 1e4
# rise-time coefficients 50 times Graves and Pitarka's (2010) 1.6e-9, which give mean
# rise times over a minute at Mw 7;
MAX_RISE_TIME_COEFFICIENT = 1e-7
# rupture-time perturbations of 10 s and more, against Graves and Pitarka's (2010)
# 0.1 s + 5e-10 M0^(1/3), which is about 0.45 s at Mw 7.
MAX_TIME_PERTURBATION_INTERCEPT_S = 10.0
MAX_TIME_PERTURBATION_SLOPE = 1e-8


class Concept:
    """What every object of this module shares: the flat settings its fields are stored
    as, and their checks, which give each field its checked value."""

    # Each field's flat setting, in the order of the fields.
    FLAT: ClassVar[dict[str, str]]

    @classmethod
    def of(cls, settings: Any) -> Self:
        """The object of a rupture's flat settings.

        Parameters
        ----------
        settings : RuptureSettings or object
            Anything with the flat settings as attributes.

        Returns
        -------
        Self
            The object, checked.
        """
        return cls(**{name: getattr(settings, flat) for name, flat in cls.FLAT.items()})

    def flat(self) -> dict[str, object]:
        """The checked values under their flat settings' names.

        Returns
        -------
        dict of str to object
            Each field's value by the name `RuptureSettings` stores it under.
        """
        return {flat: getattr(self, name) for name, flat in self.FLAT.items()}

    def _keep(self, name: str, value: object) -> None:
        object.__setattr__(self, name, value)


@dataclass(frozen=True)
class SlipSettings(Concept):
    """The slip's random field: von Kármán (Mai and Beroza 2002), lognormal slip.

    Parameters
    ----------
    hurst : float
        The Hurst exponent H, in (0, 1] (setting ``hurst``).
    correlation_km : tuple of float or None
        The correlation lengths (along strike, down dip), km, each positive and at most
        10,000 km; None scales them with magnitude (Mai and Beroza 2002; setting
        ``correlation_km``).
    cov : float
        The coefficient of variation of slip before tapering, in (0, 5] (setting
        ``slip_cov``).

    Raises
    ------
    SettingError
        A value out of its range, named by its flat setting.
    """

    FLAT: ClassVar[dict[str, str]] = {"hurst": "hurst", "correlation_km": "correlation_km",
                                      "cov": "slip_cov"}

    hurst: float
    correlation_km: tuple[float, float] | None
    cov: float

    def __post_init__(self) -> None:
        self._keep("hurst", checks.within("hurst", self.hurst, 0.0, 1.0, "a Hurst exponent",
                                           low_open=True))
        if self.correlation_km is not None:
            along, down = checks.pair("correlation_km", self.correlation_km)
            if along <= 0 or down <= 0:
                raise SettingError("correlation_km", self.correlation_km,
                                   "correlation lengths must be positive numbers of km")
            if max(along, down) > MAX_CORRELATION_KM:
                raise SettingError("correlation_km", self.correlation_km,
                                   f"correlation lengths must be at most {MAX_CORRELATION_KM:g} "
                                   f"km: longer ones give the same, nearly uniform field")
            self._keep("correlation_km", (along, down))
        self._keep("cov", checks.within("slip_cov", self.cov, 0.0, 5.0,
                                         "a coefficient of variation", low_open=True))

    @property
    def log_std(self) -> float:
        """The standard deviation of log slip of a lognormal with coefficient of variation
        `cov`: sqrt(log(1 + cov^2))."""
        return math.sqrt(math.log1p(self.cov**2))


@dataclass(frozen=True)
class ShallowZone(Concept):
    """The shallow zone of Graves and Pitarka (2010), where rupture is slower and rise
    times longer: fully above `depth_km`, ramping back to the deep values over the next
    `transition_km`.

    Parameters
    ----------
    depth_km : float
        The zone's bottom, km below the surface, 0 to 700 (setting ``shallow_depth_km``).
    transition_km : float
        The depth over which it fades, km, 0 to 700 (setting ``shallow_transition_km``);
        0 is a step.

    Raises
    ------
    SettingError
        A value out of its range, named by its flat setting.
    """

    FLAT: ClassVar[dict[str, str]] = {"depth_km": "shallow_depth_km",
                                      "transition_km": "shallow_transition_km"}

    depth_km: float
    transition_km: float

    def __post_init__(self) -> None:
        for name, flat in self.FLAT.items():
            self._keep(name, checks.at_most(
                flat, checks.non_negative(flat, getattr(self, name), "km"), MAX_DEPTH_KM,
                DEPTH_REASON))


@dataclass(frozen=True)
class RuptureSpeed(Concept):
    """The rupture speed as fractions of the local shear-wave speed (Graves and Pitarka
    2010, 2016).

    Parameters
    ----------
    fraction : float
        The mean fraction, between `min_fraction` and `max_fraction` (setting
        ``rupture_velocity_fraction``).
    min_fraction : float
        The smallest, in (0, 2] (setting ``rupture_velocity_min_fraction``).
    max_fraction : float
        The largest, from `min_fraction` to 2 (setting ``rupture_velocity_max_fraction``);
        above 1 asks for supershear rupture.
    std : float
        The fractional standard deviation of its random part, 0 to 1 (setting
        ``rupture_velocity_std``).
    slip_correlation : float
        The random part's correlation with the slip's field, 0 to 1 (setting
        ``rupture_velocity_slip_correlation``).
    shallow_factor : float
        The factor in the shallow zone, in (0, 1] (setting
        ``shallow_rupture_velocity_factor``).

    Raises
    ------
    SettingError
        A value out of its range, named by its flat setting.

    Examples
    --------
    >>> from dataclasses import replace
    >>> from kinematic_rupture import RuptureSettings
    >>> speed = replace(RuptureSettings().rupture_speed, fraction=0.75)
    >>> speed.fraction, speed.max_fraction
    (0.75, 0.95)
    >>> replace(speed, std=2.0)
    Traceback (most recent call last):
    ...
    kinematic_rupture.errors.SettingError: rupture_velocity_std 2: a fractional standard deviation must be in [0, 1]
    """

    FLAT: ClassVar[dict[str, str]] = {
        "fraction": "rupture_velocity_fraction", "min_fraction": "rupture_velocity_min_fraction",
        "max_fraction": "rupture_velocity_max_fraction", "std": "rupture_velocity_std",
        "slip_correlation": "rupture_velocity_slip_correlation",
        "shallow_factor": "shallow_rupture_velocity_factor"}

    fraction: float
    min_fraction: float
    max_fraction: float
    std: float
    slip_correlation: float
    shallow_factor: float

    def __post_init__(self) -> None:
        low = checks.within("rupture_velocity_min_fraction", self.min_fraction, 0.0, 2.0,
                            "a fraction of the shear-wave speed", low_open=True)
        high = checks.within("rupture_velocity_max_fraction", self.max_fraction, low, 2.0,
                             "the largest fraction (no less than the smallest)")
        self._keep("min_fraction", low)
        self._keep("max_fraction", high)
        self._keep("fraction", checks.within(
            "rupture_velocity_fraction", self.fraction, low, high,
            "the mean fraction (between the smallest and the largest)"))
        self._keep("std", checks.within("rupture_velocity_std", self.std, 0.0, 1.0,
                                         "a fractional standard deviation"))
        self._keep("slip_correlation", checks.within(
            "rupture_velocity_slip_correlation", self.slip_correlation, 0.0, 1.0,
            "a correlation"))
        self._keep("shallow_factor", checks.within(
            "shallow_rupture_velocity_factor", self.shallow_factor, 0.0, 1.0, "a factor",
            low_open=True))


@dataclass(frozen=True)
class RiseTime(Concept):
    """How long each subfault slips (Graves and Pitarka 2010, 2016; Somerville et al.
    1999).

    Parameters
    ----------
    coefficient : float
        The mean rise time's coefficient, s per (dyne cm)^(1/3): the mean is
        ``coefficient * alpha_T * M0^(1/3)`` with M0 in dyne cm; in (0, 1e-7] (setting
        ``rise_time_coefficient``).
    slip_correlation : float
        The correlation of log rise time with log slip, in (0, 1] (setting
        ``rise_time_slip_correlation``).
    spread : float
        The factor of the median within which all but 5% of rise times lie, in (1, 100]
        (setting ``rise_time_spread``).
    shallow_factor : float
        How many times longer rise times are in the shallow zone, 1 to 10 (setting
        ``shallow_rise_time_factor``).

    Raises
    ------
    SettingError
        A value out of its range, named by its flat setting.
    """

    FLAT: ClassVar[dict[str, str]] = {
        "coefficient": "rise_time_coefficient", "slip_correlation": "rise_time_slip_correlation",
        "spread": "rise_time_spread", "shallow_factor": "shallow_rise_time_factor"}

    coefficient: float
    slip_correlation: float
    spread: float
    shallow_factor: float

    def __post_init__(self) -> None:
        self._keep("coefficient", checks.within(
            "rise_time_coefficient", self.coefficient, 0.0, MAX_RISE_TIME_COEFFICIENT,
            "a coefficient in s per (dyne cm)^(1/3)", low_open=True))
        self._keep("slip_correlation", checks.within(
            "rise_time_slip_correlation", self.slip_correlation, 0.0, 1.0, "a correlation",
            low_open=True))
        self._keep("spread", checks.within("rise_time_spread", self.spread, 1.0, 100.0,
                                            "a factor above 1", low_open=True))
        self._keep("shallow_factor", checks.within(
            "shallow_rise_time_factor", self.shallow_factor, 1.0, 10.0, "a factor"))


@dataclass(frozen=True)
class TimePerturbation(Concept):
    """How much earlier than the front large slip starts (Graves and Pitarka 2016): the
    amplitude ``intercept_s + slope * M0^(1/3)`` (M0 in dyne cm) times a field correlated
    with slip.

    Parameters
    ----------
    intercept_s : float
        The amplitude's intercept, s, -10 to 10 (setting ``time_perturbation_intercept_s``).
    slope : float
        Its slope, s per (dyne cm)^(1/3), 0 to 1e-8 (setting ``time_perturbation_slope``).
    slip_correlation : float
        The field's correlation with the slip's, 0 to 1 (setting
        ``time_perturbation_slip_correlation``).

    Raises
    ------
    SettingError
        A value out of its range, named by its flat setting.
    """

    FLAT: ClassVar[dict[str, str]] = {
        "intercept_s": "time_perturbation_intercept_s", "slope": "time_perturbation_slope",
        "slip_correlation": "time_perturbation_slip_correlation"}

    intercept_s: float
    slope: float
    slip_correlation: float

    def __post_init__(self) -> None:
        self._keep("intercept_s", checks.within(
            "time_perturbation_intercept_s", self.intercept_s, -MAX_TIME_PERTURBATION_INTERCEPT_S,
            MAX_TIME_PERTURBATION_INTERCEPT_S, "an intercept in s"))
        self._keep("slope", checks.within(
            "time_perturbation_slope", self.slope, 0.0, MAX_TIME_PERTURBATION_SLOPE,
            "a slope in s per (dyne cm)^(1/3)"))
        self._keep("slip_correlation", checks.within(
            "time_perturbation_slip_correlation", self.slip_correlation, 0.0, 1.0,
            "a correlation"))


@dataclass(frozen=True)
class Rake(Concept):
    """The rake's variation about each plane's (Graves and Pitarka 2010, 2016).

    Parameters
    ----------
    std_deg : float
        The standard deviation, degrees, 0 to 90 (setting ``rake_std_deg``).
    max_deviation_deg : float
        The largest deviation, degrees, 0 to 90 (setting ``rake_max_deviation_deg``).

    Raises
    ------
    SettingError
        A value out of its range, named by its flat setting.
    """

    FLAT: ClassVar[dict[str, str]] = {"std_deg": "rake_std_deg",
                                      "max_deviation_deg": "rake_max_deviation_deg"}

    std_deg: float
    max_deviation_deg: float

    def __post_init__(self) -> None:
        self._keep("std_deg", checks.within("rake_std_deg", self.std_deg, 0.0, 90.0,
                                             "a standard deviation in degrees"))
        self._keep("max_deviation_deg", checks.within(
            "rake_max_deviation_deg", self.max_deviation_deg, 0.0, 90.0,
            "a deviation in degrees"))
