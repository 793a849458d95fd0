"""An ensemble's written ruptures against the settings they were built with: does each rule
do what it says? These pass for any settings a rule can honour; whether the settings are
those of real earthquakes is for `published` to say. The tolerances are this module's
constants.

.. autosummary::

   consistency
"""

import math

import numpy as np

from .. import kinematics, scaling
from ..rupture import mean_rise_time_s
from .comparison import Result, pooled_correlation, ratio_of_sums
from .suite import Ensemble, Scenario

__all__ = ["consistency"]

# The mean speed ratios within 0.03 of the settings' (one bar of the Vr/Vs histogram): the
# speed perturbation's bounds and the front's bends move the mean by less.
SPEED_TOLERANCE = 0.03
# The local speed's correlation with slip, at least this: the settings tie the speed to
# the slip's own field at `rupture_velocity_slip_correlation`.
SPEED_SLIP_CORRELATION = 0.3
# No more than this share of the cells faster than the shear-wave speed, unless the
# settings ask for supershear rupture (a largest speed fraction above 1).
SUPERSHEAR_SHARE = 0.02
# The mean written rise time within 10% of the settings' scaling.
RISE_TOLERANCE = 0.10
# The longest rise time of any rupture at most this many times its mean, and at most this
# share of its duration; at most this share of a rupture's slipping points at its
# shortest rise time (no floor catching them).
LONGEST_OVER_MEAN = 5.0
LONGEST_OVER_DURATION = 1.0 / 3.0
SHORTEST_SHARE = 0.10
# Every rupture's slip-weighted mean rake within this of the plane's (degrees); its spread
# between these shares of the settings' standard deviation (it varies, and the bound and
# the centring take a little of it).
RAKE_TOLERANCE_DEG = 2.0
RAKE_SPREAD = (0.4, 1.1)
# The slip spectrum's fit: H within 0.15 of the input, lengths within 30%.
HURST_TOLERANCE = 0.15
LENGTH_TOLERANCE = 0.30
# The moment of the file within this of the target (magnitude units).
MAGNITUDE_TOLERANCE = 0.01
# The duration within 20% of the front's travel to the farthest corner plus a rise time.
DURATION_TOLERANCE = 0.20


def settings_speed(scenario: Scenario, shallow: bool) -> float:
    settings = scenario.settings
    factor = settings.shallow_rupture_velocity_factor if shallow else 1.0
    return settings.rupture_velocity_fraction * factor


def speed(ensemble: Ensemble, zone: str) -> Result:
    measured = ratio_of_sums(ensemble.measures, f"{zone}_ratio", f"{zone}_count")
    target = settings_speed(ensemble.scenario, zone == "shallow")
    where = "below 8 km" if zone == "deep" else "above 5 km"
    return Result(
        f"speed_{zone}", f"mean Vr / Vs {where}", ensemble.scenario.label, measured,
        target - SPEED_TOLERANCE, target + SPEED_TOLERANCE, f"{target:.3g} ± {SPEED_TOLERANCE:g}",
        "rupture_velocity_fraction" + (" x shallow_rupture_velocity_factor" if zone == "shallow"
                                       else ""),
        "As in the published table, against the settings' fraction.", ".3f")


def speed_slip(ensemble: Ensemble) -> Result:
    settings = ensemble.scenario.settings
    return Result(
        "speed_slip", "correlation of the local Vr / Vs with slip", ensemble.scenario.label,
        pooled_correlation(ensemble.measures, "speed"), SPEED_SLIP_CORRELATION, 1.0,
        f"at least {SPEED_SLIP_CORRELATION:g}",
        f"rupture_velocity_slip_correlation {settings.rupture_velocity_slip_correlation:g}",
        "Pearson correlation of the 2 km blocks' Vr / Vs with their mean SLIP, both about "
        "the mean of their row of blocks (one depth), pooled over ruptures.", ".3f")


def supershear(ensemble: Ensemble) -> Result:
    totals = [sum(m.sums[name] for m in ensemble.measures) for name in ("supershear", "cells")]
    asked = ensemble.scenario.settings.rupture_velocity_max_fraction > 1.0
    return Result(
        "supershear", "share of cells faster than the shear-wave speed", ensemble.scenario.label,
        math.nan if asked or not totals[1] else totals[0] / totals[1], 0.0, SUPERSHEAR_SHARE,
        f"at most {SUPERSHEAR_SHARE:g}", "rupture_velocity_max_fraction at most 1",
        "1 / |grad TINIT| by central differences on every cell over its VS, the cells 3 km "
        "or more from the hypocentre (n/a when the settings ask for supershear rupture or "
        "no cell lies that far).",
        ".4f")


def rise(ensemble: Ensemble) -> Result:
    scenario = ensemble.scenario
    expected = mean_rise_time_s(scenario.fault, scenario.settings)
    measured = float(np.mean([m.mean_rise_s for m in ensemble.measures]))
    return Result(
        "rise_settings", "mean rise time (s)", scenario.label, measured,
        expected * (1 - RISE_TOLERANCE), expected * (1 + RISE_TOLERANCE),
        f"{expected:.3g} ± {100 * RISE_TOLERANCE:g}%",
        f"rise_time_coefficient {scenario.settings.rise_time_coefficient:.3g} alpha_T M0^(1/3)",
        "Each rupture's mean over its slipping points of the span of non-zero samples times "
        "DT; mean over ruptures.", ".3g")


def longest_rise(ensemble: Ensemble, over: str) -> Result:
    measures = ensemble.measures
    if over == "mean":
        measured = max(m.longest_rise_s / m.mean_rise_s for m in measures)
        low, high, text = 0.0, LONGEST_OVER_MEAN, f"at most {LONGEST_OVER_MEAN:g}"
    else:
        measured = max(m.longest_rise_s / m.duration_s for m in measures)
        low, high, text = 0.0, LONGEST_OVER_DURATION, "at most 1/3"
    return Result(
        f"longest_rise_{over}", f"longest rise time over the {over}, worst rupture",
        ensemble.scenario.label, measured, low, high, text,
        f"rise_time_spread {ensemble.scenario.settings.rise_time_spread:g}",
        "Each rupture's longest rise time over its mean rise time or its duration (the last "
        "sample's end); the largest over ruptures.", ".2f")


def shortest_share(ensemble: Ensemble) -> Result:
    return Result(
        "shortest_share", "share of slipping points at the shortest rise time, worst rupture",
        ensemble.scenario.label, max(m.shortest_rise_share for m in ensemble.measures), 0.0,
        SHORTEST_SHARE, f"at most {SHORTEST_SHARE:g}", "no floor on rise times",
        "Each rupture's slipping points within half a sample of its shortest rise time; "
        "the largest share over ruptures.", ".3f")


def rake(ensemble: Ensemble) -> tuple[Result, Result]:
    scenario = ensemble.scenario
    asked = scenario.fault.planes[0].rake_deg
    worst = max(abs((m.mean_rake_deg - asked + 180.0) % 360.0 - 180.0) for m in ensemble.measures)
    spread = float(np.mean([m.rake_spread_deg for m in ensemble.measures]))
    std = scenario.settings.rake_std_deg
    low, high = RAKE_SPREAD
    return (Result(
        "rake_mean", "slip-weighted mean rake off the asked rake, worst rupture (degrees)",
        scenario.label, worst, 0.0, RAKE_TOLERANCE_DEG, f"at most {RAKE_TOLERANCE_DEG:g}",
        f"the plane's rake {asked:g}", "RAKE weighted by SLIP and AREA, circular mean.", ".2f"),
        Result(
        "rake_spread", "spread of the rake about its mean (degrees)", scenario.label, spread,
        low * std, high * std, f"{low:g} to {high:g} times {std:g}", f"rake_std_deg {std:g}",
        "The slip-weighted standard deviation of RAKE about the rupture's mean; mean over "
        "ruptures.", ".3g"))


def slip_spectrum(ensemble: Ensemble) -> list[Result]:
    settings = ensemble.scenario.settings
    fit, errors = ensemble.slip_fit
    along, down = settings.correlation_lengths_km()
    method = (f"The von Kármán fit to log SLIP on the untapered interior, a cell coarser "
              f"than 0.1 km modelled as the mean of its fine cells; jackknife errors "
              f"H ± {errors.hurst:.2g}, lengths ± {errors.along_km:.2g} and ± "
              f"{errors.down_km:.2g} km.")
    results = [Result("hurst_settings", "Hurst exponent of log slip", ensemble.scenario.label,
                      fit.hurst, settings.hurst - HURST_TOLERANCE,
                      settings.hurst + HURST_TOLERANCE,
                      f"{settings.hurst:g} ± {HURST_TOLERANCE:g}", "hurst", method, ".2f")]
    for key, name, fitted, given in (("along", "along strike", fit.along_km, along),
                                     ("down", "down dip", fit.down_km, down)):
        results.append(Result(
            f"length_{key}", f"correlation length {name} (km)", ensemble.scenario.label, fitted,
            given * (1 - LENGTH_TOLERANCE), given * (1 + LENGTH_TOLERANCE),
            f"{given:.3g} ± {100 * LENGTH_TOLERANCE:g}%", "correlation_km (Mai and Beroza 2002 "
            "with magnitude)" if settings.correlation_km is None else "correlation_km",
            "From the same fit; the window spans few correlation lengths.", ".3g"))
    return results


def magnitude(ensemble: Ensemble) -> Result:
    worst = max(abs(scaling.moment_magnitude(m.moment_nm) - scaling.moment_magnitude(m.target_moment_nm))
                for m in ensemble.measures)
    return Result(
        "magnitude", "Mw of the file off the asked Mw, worst rupture", ensemble.scenario.label,
        worst, 0.0, MAGNITUDE_TOLERANCE, f"at most {MAGNITUDE_TOLERANCE:g}", "magnitude",
        "sum of DEN VS^2 AREA SLIP over the points.", ".4f")


def predicted_duration_s(scenario: Scenario, along_km: float, down_km: float) -> float:
    """The time a front at the fault's mean rupture speed (the settings' fraction of Vs
    with the shallow reduction) needs from the hypocentre to the farthest corner, plus
    the mean rise time."""
    fault, settings = scenario.fault, scenario.settings
    depth = fault.depths_km()
    weight = kinematics.shallow_weight(depth, zone=settings.shallow_zone)
    fraction = settings.rupture_velocity_fraction * (
        1.0 - (1.0 - settings.shallow_rupture_velocity_factor) * weight)
    mean_speed = float(np.mean(fraction * settings.velocity_model.shear_speed_km_s(depth)))
    width = max(plane.width_km for plane in fault.planes)
    farthest = max(math.hypot(x - along_km, z - down_km)
                   for x in (0.0, fault.length_km) for z in (0.0, width))
    return farthest / mean_speed + mean_rise_time_s(fault, settings)


def duration(ensemble: Ensemble) -> Result:
    ratios = [m.duration_s / predicted_duration_s(ensemble.scenario, *m.hypocentre_km)
              for m in ensemble.measures]
    return Result(
        "duration", "duration / (farthest distance / mean Vr + mean rise time)",
        ensemble.scenario.label, float(np.mean(ratios)), 1 - DURATION_TOLERANCE,
        1 + DURATION_TOLERANCE, f"1 ± {DURATION_TOLERANCE:g}", "the settings' rupture speed "
        "and rise time", "The last sample's end over the time a front at the settings' mean "
        "speed needs to the farthest corner, plus the mean rise time; mean over ruptures.",
        ".3f")


def consistency(ensemble: Ensemble) -> list[Result]:
    """Every self-consistency comparison of one ensemble, in the report's order: the rupture
    speed at depth and in the shallow zone, its correlation with slip and the share faster
    than the shear-wave speed, the mean, longest and shortest rise times, the rake's mean and
    spread, the slip's von Kármán spectrum, the magnitude and the duration.

    Parameters
    ----------
    ensemble : Ensemble
        The ensemble, measured.

    Returns
    -------
    list of Result
        One a statistic.
    """
    return [speed(ensemble, "deep"), speed(ensemble, "shallow"), speed_slip(ensemble),
            supershear(ensemble), rise(ensemble), longest_rise(ensemble, "mean"),
            longest_rise(ensemble, "duration"), shortest_share(ensemble), *rake(ensemble),
            *slip_spectrum(ensemble), magnitude(ensemble), duration(ensemble)]
