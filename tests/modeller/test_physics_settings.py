"""The physics cannot be called with two numbers swapped: the rules take their settings by
keyword or as the objects of `physics_settings`, which refuse a bad value under the flat
setting's name, as RuptureSettings does."""

import inspect
import types
import typing
from dataclasses import fields, replace

import numpy as np
import pytest

from kinematic_rupture import Fault, RuptureSettings, SettingError
from kinematic_rupture import hypocentre, kinematics, random_fields, rupture
from kinematic_rupture.physics_settings import (Concept, Rake, RiseTime, RuptureSpeed,
                                                ShallowZone, SlipSettings, TimePerturbation)

CONCEPTS = {SlipSettings: "slip", ShallowZone: "shallow_zone", RuptureSpeed: "rupture_speed",
            RiseTime: "rise_time", TimePerturbation: "time_perturbation", Rake: "rake"}


def is_scalar(annotation):
    """A number, a flag, a name, a pair or a settings object: what can be swapped with
    another of its kind without a word."""
    if isinstance(annotation, types.UnionType) or typing.get_origin(annotation) is typing.Union:
        return any(is_scalar(part) for part in typing.get_args(annotation)
                   if part is not type(None))
    if typing.get_origin(annotation) is tuple:
        return True
    return annotation in (float, int, bool, str) or (
        isinstance(annotation, type) and issubclass(annotation, Concept))


def rules():
    for module in (kinematics, random_fields, hypocentre, rupture):
        for name, value in vars(module).items():
            function = inspect.unwrap(value) if callable(value) else None
            if inspect.isfunction(function) and function.__module__ == module.__name__:
                yield pytest.param(function, id=f"{module.__name__.rsplit('.', 1)[1]}.{name}")


@pytest.mark.parametrize("function", rules())
def test_no_rule_takes_two_numbers_or_settings_by_position(function):
    hints = typing.get_type_hints(function)
    positional = [name for name, parameter in inspect.signature(function).parameters.items()
                  if parameter.kind in (parameter.POSITIONAL_ONLY, parameter.POSITIONAL_OR_KEYWORD)
                  and is_scalar(hints.get(name))]
    assert len(positional) <= 1, f"{function.__name__} takes {positional} by position"


FIELD = np.zeros(4)
DEPTH = np.array([1.0, 4.0, 7.0, 12.0])
SLIP = np.array([0.0, 0.5, 1.0, 2.0])
DEFAULTS = RuptureSettings()


# The calls as the rules took them before, with every number by position.
POSITIONAL_CALLS = {
    "rupture_velocity_fraction": lambda: kinematics.rupture_velocity_fraction(
        DEPTH, FIELD, FIELD, 0.8, 0.7, 5.0, 3.0, 0.1, 0.8, 0.3, 0.95),
    "rupture speed object by position": lambda: kinematics.rupture_velocity_fraction(
        DEPTH, FIELD, FIELD, DEFAULTS.rupture_speed, DEFAULTS.shallow_zone),
    "rise_times_s": lambda: kinematics.rise_times_s(
        SLIP, DEPTH, FIELD, 1.5, 2.0, 5.0, 3.0, 0.5, 0.64, 2.5, 0.0),
    "mean_rise_time_s": lambda: kinematics.mean_rise_time_s(3.5e19, 2.03e-9, 1.0),
    "time_perturbation_amplitude_s": lambda: kinematics.time_perturbation_amplitude_s(
        3.5e19, 0.0, 5e-10),
    "rake_deg": lambda: kinematics.rake_deg(FIELD, FIELD, 15.0, 30.0, SLIP),
    "mechanism_factor": lambda: kinematics.mechanism_factor(60.0, 90.0),
    "shallow_weight": lambda: kinematics.shallow_weight(DEPTH, 5.0, 3.0),
    "largest_frequency_hz": lambda: kinematics.largest_frequency_hz(0.5, DEPTH),
    "draw_hypocentre": lambda: hypocentre.draw_hypocentre(
        Fault.single(length_km=4, width_km=2, cell_km=1.0), np.ones(8), 7),
    "draw_reference": lambda: random_fields.draw_reference(
        (6.0, 10.0), (3.0, 2.0), 0.75, 11, 2, {}),
    "scaled_slip": lambda: rupture.scaled_slip(SLIP, SLIP, 1e6, 1e18),
}


@pytest.mark.parametrize("call", POSITIONAL_CALLS.values(), ids=POSITIONAL_CALLS.keys())
def test_a_rule_called_with_its_settings_by_position_is_refused(call):
    with pytest.raises(TypeError, match="positional argument"):
        call()


# (object, field, a bad value, the flat setting the refusal names)
BAD_VALUES = [
    (SlipSettings, "hurst", 0.0, "hurst"),
    (SlipSettings, "correlation_km", (5.0, -1.0), "correlation_km"),
    (SlipSettings, "correlation_km", (2e4, 5.0), "correlation_km"),
    (SlipSettings, "cov", float("nan"), "slip_cov"),
    (ShallowZone, "depth_km", -1.0, "shallow_depth_km"),
    (ShallowZone, "transition_km", 800.0, "shallow_transition_km"),
    (RuptureSpeed, "fraction", 0.99, "rupture_velocity_fraction"),
    (RuptureSpeed, "min_fraction", 0.0, "rupture_velocity_min_fraction"),
    (RuptureSpeed, "max_fraction", 0.1, "rupture_velocity_max_fraction"),
    (RuptureSpeed, "std", 2.0, "rupture_velocity_std"),
    (RuptureSpeed, "slip_correlation", -0.1, "rupture_velocity_slip_correlation"),
    (RuptureSpeed, "shallow_factor", True, "shallow_rupture_velocity_factor"),
    (RiseTime, "coefficient", 0.0, "rise_time_coefficient"),
    (RiseTime, "slip_correlation", 0.0, "rise_time_slip_correlation"),
    (RiseTime, "spread", 1.0, "rise_time_spread"),
    (RiseTime, "shallow_factor", 0.5, "shallow_rise_time_factor"),
    (TimePerturbation, "intercept_s", 11.0, "time_perturbation_intercept_s"),
    (TimePerturbation, "slope", -1e-10, "time_perturbation_slope"),
    (TimePerturbation, "slip_correlation", "0.8", "time_perturbation_slip_correlation"),
    (Rake, "std_deg", 91.0, "rake_std_deg"),
    (Rake, "max_deviation_deg", float("inf"), "rake_max_deviation_deg"),
]


@pytest.mark.parametrize("concept, name, value, flat", BAD_VALUES)
def test_the_objects_and_the_settings_refuse_a_bad_value_naming_the_flat_setting(
        concept, name, value, flat):
    good = getattr(DEFAULTS, CONCEPTS[concept])
    with pytest.raises(SettingError) as by_object:
        replace(good, **{name: value})
    with pytest.raises(SettingError) as by_settings:
        RuptureSettings(**{flat: value})
    assert by_object.value.setting == by_settings.value.setting == flat
    assert str(by_object.value) == str(by_settings.value)


# A value of every flat setting an object holds, none its default and each distinct within
# its object, so that a field read from the wrong setting shows.
OTHER_VALUES = {
    "hurst": 0.6, "correlation_km": (4.0, 3.0), "slip_cov": 0.5,
    "shallow_depth_km": 4.0, "shallow_transition_km": 2.0,
    "rupture_velocity_fraction": 0.7, "rupture_velocity_min_fraction": 0.4,
    "rupture_velocity_max_fraction": 0.9, "rupture_velocity_std": 0.2,
    "rupture_velocity_slip_correlation": 0.6, "shallow_rupture_velocity_factor": 0.8,
    "rise_time_coefficient": 1.6e-9, "rise_time_slip_correlation": 0.4, "rise_time_spread": 3.0,
    "shallow_rise_time_factor": 1.5,
    "time_perturbation_intercept_s": 0.1, "time_perturbation_slope": 4e-10,
    "time_perturbation_slip_correlation": 0.7,
    "rake_std_deg": 10.0, "rake_max_deviation_deg": 20.0,
}


@pytest.mark.parametrize("concept, prop", CONCEPTS.items())
def test_the_objects_hold_the_flat_settings_they_are_stored_as(concept, prop):
    assert list(concept.FLAT) == [item.name for item in fields(concept)]
    settings = RuptureSettings(**OTHER_VALUES)
    held = getattr(settings, prop)
    assert isinstance(held, concept)
    for name, flat in concept.FLAT.items():
        assert getattr(held, name) == OTHER_VALUES[flat] != getattr(DEFAULTS, flat)
    with pytest.raises(AttributeError):
        setattr(held, next(iter(concept.FLAT)), 0.5)
    # Stored flat: the settings a file holds name no object.
    assert set(held.flat()) <= set(settings.settings())
    assert prop not in settings.settings()
