"""The default rupture's moment-rate spectrum against Brune's omega-squared spectrum, and the
same rupture drawn on coarser cells: the rupture-time perturbations and the smoothing of
each pulse over its cell keep the high frequencies where the physics, not the cells, puts
them."""

from dataclasses import replace

import numpy as np
import pytest

from kinematic_rupture import Fault, RuptureSettings, brune, build_rupture
from kinematic_rupture.kinematics import largest_frequency_hz

HIGHEST_HZ = 5.0


@pytest.fixture(scope="module")
def drawn():
    """The default rupture on 0.1 km and on 0.5 km cells: (frequency, amplitude, rupture)."""
    ruptures = {cell: build_rupture(Fault(cell_km=cell), RuptureSettings()) for cell in (0.1, 0.5)}
    return {cell: (*brune.amplitude_spectrum(r.moment_rate_nm_s, r.dt_s), r)
            for cell, r in ruptures.items()}


@pytest.mark.parametrize("cell", [0.1, 0.5])
def test_the_spectrum_stays_within_a_factor_of_three_of_brune_up_to_5_hz(drawn, cell):
    frequency, amplitude, rupture = drawn[cell]
    corner = brune.fit_corner(frequency, amplitude, rupture.moment_nm, HIGHEST_HZ)
    centres, levels = brune.band_average(frequency, amplitude, corner, HIGHEST_HZ)
    ratio = levels / brune.brune(centres, rupture.moment_nm, corner)
    assert centres[-1] > 0.8 * HIGHEST_HZ
    assert np.all((ratio > 1 / 3) & (ratio < 3)), ratio
    stress = brune.stress_drop_from_corner(rupture.moment_nm, corner)
    assert 1e6 < stress < 1e7  # the range of crustal earthquakes (Kanamori and Anderson 1975)


def test_coarse_and_fine_cells_give_the_same_level_from_1_to_5_hz(drawn):
    (fine_f, fine_a, _), (coarse_f, coarse_a, _) = drawn[0.1], drawn[0.5]
    _, fine = brune.band_average(fine_f, fine_a, 1.0, HIGHEST_HZ)
    _, coarse = brune.band_average(coarse_f, coarse_a, 1.0, HIGHEST_HZ)
    assert np.all((coarse / fine > 0.5) & (coarse / fine < 2.0)), coarse / fine


def test_without_the_perturbations_the_high_frequencies_fall_away(drawn):
    """The perturbations are what fills 1 to 5 Hz: a coherent front alone falls far below."""
    frequency, amplitude, rupture = drawn[0.1]
    coherent = build_rupture(Fault(cell_km=0.1), replace(
        RuptureSettings(), time_perturbation_intercept_s=0.0, time_perturbation_slope=0.0))
    f, a = brune.amplitude_spectrum(coherent.moment_rate_nm_s, coherent.dt_s)
    _, with_them = brune.band_average(frequency, amplitude, 2.0, HIGHEST_HZ)
    _, without = brune.band_average(f, a, 2.0, HIGHEST_HZ)
    assert np.all(without < with_them / 3)


@pytest.mark.parametrize("cell, speed, expected", [(0.1, 2.0, 10.0), (0.5, 2.0, 2.0)])
def test_the_largest_frequency_a_cell_resolves_is_half_the_rate_the_front_crosses_cells(
        cell, speed, expected):
    assert largest_frequency_hz(cell, np.full(100, speed)) == pytest.approx(expected)
