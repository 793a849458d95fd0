"""Ruptures drawn on 0.1 km and 0.5 km cells: one rupture, whose high frequencies
the physics, not the cells, puts where they are. (How the spectra of ensembles compare
with Brune's at every magnitude is `validate`'s to say, not one seed's.)"""

import io

import numpy as np
import pytest

from kinematic_rupture import Fault, RuptureSettings, brune, build_rupture
from kinematic_rupture.kinematics import largest_frequency_hz
from kinematic_rupture.validation import measure


@pytest.fixture(scope="module")
def drawn():
    """The default rupture on 0.1 km and on 0.5 km cells: (frequency, amplitude, rupture)."""
    ruptures = {cell: build_rupture(Fault(cell_km=cell), RuptureSettings()) for cell in (0.1, 0.5)}
    return {cell: (*brune.amplitude_spectrum(r.moment_rate_nm_s, r.dt_s), r)
            for cell, r in ruptures.items()}


def test_coarse_and_fine_cells_give_the_same_level_up_to_what_the_coarse_cells_resolve(drawn):
    (fine_f, fine_a, _), (coarse_f, coarse_a, coarse) = drawn[0.1], drawn[0.5]
    highest = largest_frequency_hz(coarse.rupture_velocity_km_s, cell_km=0.5)
    _, fine = brune.band_average(fine_f, fine_a, 0.02, highest)
    _, coarse_levels = brune.band_average(coarse_f, coarse_a, 0.02, highest)
    assert np.all((coarse_levels / fine > 1 / 1.5) & (coarse_levels / fine < 1.5)), \
        coarse_levels / fine


@pytest.mark.parametrize("cell, speed, expected", [(0.1, 2.0, 10.0), (0.5, 2.0, 2.0)])
def test_the_largest_frequency_a_cell_resolves_is_half_the_rate_the_front_crosses_cells(
        cell, speed, expected):
    assert largest_frequency_hz(np.full(100, speed), cell_km=cell) == pytest.approx(expected)


def written_bands(fault, settings):
    """A rupture's band levels from 1 Hz, measured on its SRF file as written, and the
    highest frequency its cells resolve."""
    text = io.StringIO()
    build_rupture(fault, settings).write_srf(text)
    written = measure.written_text(text.getvalue())
    highest = measure.resolved_hz(written, measure.cell_speed_ratios(written))
    return brune.band_average(*written.spectrum, 1.0, highest)[1]


@pytest.mark.parametrize("seed", [5, 6, 7])
def test_a_reverse_rupture_on_coarse_cells_keeps_the_fine_cells_levels(seed):
    # A cell the front crosses in 1.6 samples was smoothed over 2, one of 1.4 over none:
    # rounded so, the 0.5 km cells of seed 6 fell to 0.66 of the 0.1 km cells' level at
    # 1.8 Hz, their limit.
    settings = RuptureSettings(magnitude=6.5, seed=seed, hypocentre_distribution="mai2005")
    levels = {cell: written_bands(Fault.single(cell_km=cell, length_km=30.0, width_km=15.0,
                                               dip_deg=45.0, rake_deg=90.0, top_depth_km=2.0),
                                  settings)
              for cell in (0.1, 0.5)}
    coarse = levels[0.5]
    ratio = coarse / levels[0.1][:coarse.size]
    assert np.all((ratio > 1 / 1.5) & (ratio < 1.5)), ratio
