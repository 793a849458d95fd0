"""The kinematic rules one by one: fields a seed draws the same at any cell size, the
rise times, the bounded time perturbation, the kept rake, hypocentres weighted by slip
class, and faults placed by magnitude. Small faults and coarse cells; the ensemble claims
are the validate command's."""

import io
import math

import numpy as np
import pytest
from scipy import ndimage

from kinematic_rupture import Fault, RuptureSettings, build_rupture, kinematics, scaling
from kinematic_rupture.charts import fault_charts
from kinematic_rupture.rupture import front_refinement
from kinematic_rupture.field import embed_von_karman
from kinematic_rupture.physics_settings import RiseTime, ShallowZone
from kinematic_rupture.hypocentre import (MAI_2005_CLASS_SHARES, draw_hypocentre,
                                          hypocentre_subfault, slip_classes)
from kinematic_rupture.random_fields import (base_on_chart, detail_on_chart, draw_reference,
                                              high_pass, interpolate, interpolation_taps,
                                              spline_coefficients)
from kinematic_rupture.srf import write_srf
from kinematic_rupture.validation import measure

SMALL = dict(length_km=10.0, width_km=6.0, top_depth_km=3.0)


def block_means(grid, cell, side=2.0):
    n = round(side / cell)
    rows, columns = grid.shape[0] // n, grid.shape[1] // n
    return grid[:rows * n, :columns * n].reshape(rows, n, columns, n).mean(axis=(1, 3))


# ---- Fields a seed names at any cell size ------------------------------------------------


@pytest.mark.parametrize("at", [np.array([0.0, 0.37, 1.9, 4.25]), np.linspace(0.05, 4.95, 50)])
def test_spline_interpolation_is_scipys_quintic_spline(at):
    nodes, spacing = 16, 0.5  # as a reference grid holds 5 km: ceil(5 / 0.5) + 6
    taps = interpolation_taps(at, spacing_km=spacing)
    assert taps.index.min() >= 0 and taps.index.max() < nodes
    values = np.random.default_rng(3).standard_normal((nodes, nodes))
    carried = interpolate(spline_coefficients(values), down=taps, along=taps)
    position = at / spacing + 2.5  # node i at (i - 2.5) spacing
    rows, columns = np.meshgrid(position, position, indexing="ij")
    expected = ndimage.map_coordinates(values, [rows, columns], order=5, mode="mirror")
    np.testing.assert_allclose(carried, expected, atol=1e-12)


def test_spline_interpolation_is_exact_at_nodes_and_keeps_wavelengths_of_four_nodes():
    spacing = 0.1
    nodes = (np.arange(60) - 2.5) * spacing
    wave = np.cos(2 * np.pi * nodes / (4 * spacing) + 0.3)
    values = np.outer(np.ones(12), wave)
    coefficients = spline_coefficients(values)
    at_nodes = interpolation_taps(nodes[3:-3], spacing_km=spacing)
    down = interpolation_taps([0.25], spacing_km=spacing)
    assert np.allclose(interpolate(coefficients, down=down, along=at_nodes), wave[3:-3])
    midway = np.arange(10, 40) * spacing  # halfway between nodes, as 0.2 km cells' centres
    carried = interpolate(coefficients, down=down, along=interpolation_taps(midway,
                                                                              spacing_km=spacing))
    true = np.cos(2 * np.pi * midway / (4 * spacing) + 0.3)
    assert np.sqrt(np.mean(carried**2) / np.mean(true**2)) > 0.99


def test_the_detail_keeps_only_what_the_reference_grid_cannot_hold():
    embedding = embed_von_karman((40, 80), 0.1, (3.0, 2.0), 0.75)
    detail = high_pass(embedding, cell_km=0.1, spacing_km=0.5)
    rows, columns = embedding.amplitudes.shape
    down = np.arange(rows) / (embedding.padded_shape[0] * 0.1)
    along = np.arange(columns) / (embedding.padded_shape[1] * 0.1)
    beyond = (down[:, None] > 1.0) | (along[None, :] > 1.0)  # 1 / (2 x 0.5 km)
    assert np.all(detail.amplitudes[~beyond] == 0.0)
    assert np.array_equal(detail.amplitudes[beyond], embedding.amplitudes[beyond])
    assert high_pass(embedding, cell_km=0.1, spacing_km=0.1) is None


def test_a_seed_draws_the_same_fields_on_cells_of_any_size():
    correlation = (3.0, 2.0)
    blocks = {}
    for cell in (0.1, 0.25, 0.5):
        fault = Fault.single(cell_km=cell, **SMALL)
        chart = fault_charts(fault)[0]
        reference = draw_reference(extent_km=(6.0, 10.0), correlation_km=correlation,
                                   hurst=0.75, seed=11, count=2, timings={})
        base = base_on_chart(reference, chart, cell_km=cell, along_km=0.0)
        detail = detail_on_chart(chart, 0, cell_km=cell, correlation_km=correlation, hurst=0.75,
                                 spacing_km=reference.grid.spacing_km, seed=11, count=1,
                                 timings={})
        slip = base[0] + (detail[0][0] if detail else 0.0)
        blocks[cell] = (block_means(slip, cell), block_means(base[1], cell))
    for fine, coarse in ((0.1, 0.25), (0.1, 0.5), (0.25, 0.5)):
        for which in range(2):
            assert np.corrcoef(blocks[fine][which].ravel(),
                               blocks[coarse][which].ravel())[0, 1] > 0.98


def test_cells_between_the_reference_nodes_keep_the_slips_spectrum():
    # 0.2 km cells' centres lie midway between the 0.1 km grid's nodes, the 0.1 km cells'
    # on them: the same seeds must give both the same fitted von Kármán spectrum.
    from kinematic_rupture.validation import vonkarman
    correlation, fits = (4.0, 3.0), {}
    for cell in (0.1, 0.2):
        fault = Fault.single(cell_km=cell, length_km=24.0, width_km=12.0, top_depth_km=0.0)
        chart = fault_charts(fault)[0]
        grams = []
        for seed in range(12):
            reference = draw_reference(extent_km=(12.0, 24.0), correlation_km=correlation,
                                       hurst=0.75, seed=seed, count=1, timings={})
            slip = base_on_chart(reference, chart, cell_km=cell, along_km=0.0)[0]
            step = round(0.2 / cell)
            grams.append(vonkarman.periodogram(slip[::step, ::step]))
        fits[cell] = vonkarman.fit_von_karman(vonkarman.mean_periodogram(grams), 0.2)
    assert fits[0.2].hurst == pytest.approx(fits[0.1].hurst, abs=0.02)
    assert fits[0.2].along_km == pytest.approx(fits[0.1].along_km, rel=0.05)
    assert fits[0.2].down_km == pytest.approx(fits[0.1].down_km, rel=0.05)


@pytest.mark.parametrize("seed", [4, 5, 6])
def test_one_seed_on_three_cell_sizes_is_one_rupture(seed):
    # The front is solved on cells of at most 0.1 km whatever the fault's: solved on the
    # 0.5 km cells themselves, block times differed by 0.27 to 0.35 of a coarse cell's
    # travel time for these seeds, a phase error at 1 Hz the spectra showed.
    settings = RuptureSettings(magnitude=6.0, seed=seed, hypocentre_km=(3.1, 4.2))
    ruptures = {cell: build_rupture(Fault.single(cell_km=cell, **SMALL), settings)
                for cell in (0.1, 0.25, 0.5)}
    slips = {cell: block_means(r.fault.on_plane(r.slip_m, 0), cell) for cell, r in ruptures.items()}
    times = {cell: block_means(r.fault.on_plane(r.rupture_time_s, 0), cell)
             for cell, r in ruptures.items()}
    coarse_travel = 0.5 / float(ruptures[0.5].rupture_velocity_km_s.min())
    for fine, coarse in ((0.1, 0.25), (0.1, 0.5), (0.25, 0.5)):
        assert np.corrcoef(slips[fine].ravel(), slips[coarse].ravel())[0, 1] >= 0.95
        assert np.abs(times[fine] - times[coarse]).max() <= 0.2 * coarse_travel


@pytest.mark.parametrize("cell", [0.3, 0.5])
def test_a_coarse_cell_carries_the_mean_slip_of_its_fine_cells(cell):
    # Read at their centres, 0.5 km cells aliased the slip's shorter wavelengths into their
    # own: on a reverse fault with drawn hypocentres, one seed's spectra on 0.1 and 0.5 km
    # cells differed by 1.85 in the band at 1.3 Hz.
    settings = RuptureSettings(magnitude=6.0, seed=7, hypocentre_km=(3.1, 4.2))
    fine = build_rupture(Fault.single(cell_km=0.1, length_km=9.0, width_km=6.0,
                                      top_depth_km=3.0), settings)
    coarse = build_rupture(Fault.single(cell_km=cell, length_km=9.0, width_km=6.0,
                                        top_depth_km=3.0), settings)
    means = block_means(fine.fault.on_plane(fine.slip_m, 0), 0.1, side=cell)
    ratio = coarse.fault.on_plane(coarse.slip_m, 0) / means
    inside = ratio[1:-1, 1:-1]  # the same up to the moment's scaling; the edges' taper
    assert inside.std() / inside.mean() < 1e-9  # differs in the fourth digit
    np.testing.assert_allclose(ratio, inside.mean(), rtol=2e-3)


def test_the_front_of_coarse_cells_is_read_from_finer_cells_centred_on_theirs():
    coarse = Fault.single(cell_km=0.5, **SMALL)
    settings = RuptureSettings(magnitude=6.0, seed=4, hypocentre_km=(3.1, 4.2))
    assert front_refinement(coarse) == 5 and front_refinement(Fault.single(**SMALL)) == 1
    assert front_refinement(Fault.single(cell_km=0.25, **SMALL)) == 3
    fine = build_rupture(Fault.single(cell_km=0.1, **SMALL), settings)
    rupture = build_rupture(coarse, settings)
    # The 0.5 km cells' front is the 0.1 km cells' at their centres, bit for bit.
    np.testing.assert_array_equal(coarse.on_plane(rupture.front_time_s, 0),
                                  fine.fault.on_plane(fine.front_time_s, 0)[2::5, 2::5])


@pytest.mark.parametrize("seed", [4, 8])
def test_the_perturbed_times_of_coarse_cells_are_the_fine_cells_at_their_centres(seed):
    # The perturbation is bounded and applied on the front's fine cells: applied to the
    # coarse cells' own fields (averaged over 0.5 km), it moved their times off the 0.1 km
    # rupture's.
    settings = RuptureSettings(magnitude=6.0, seed=seed, hypocentre_km=(3.1, 4.2))
    fine = build_rupture(Fault.single(cell_km=0.1, **SMALL), settings)
    coarse = build_rupture(Fault.single(cell_km=0.5, **SMALL), settings)
    fine_times = fine.fault.on_plane(fine.rupture_time_s, 0)
    assert fine.time_perturbation_s > 0 and np.any(fine.rupture_time_s != fine.front_time_s)
    np.testing.assert_array_equal(coarse.fault.on_plane(coarse.rupture_time_s, 0),
                                  fine_times[2::5, 2::5])


# ---- Rise times ------------------------------------------------------------------------------


def lognormal_slip(count, seed=3):
    rng = np.random.default_rng(seed)
    return np.exp(0.64 * rng.standard_normal(count)), rng.standard_normal(count)


@pytest.mark.parametrize("widening", [0.0, 0.05, 0.3])
def test_rise_times_as_written_average_the_mean_without_a_floor_or_a_tail(widening):
    slip, field = lognormal_slip(20_000)
    slip[:500] = 0.0
    depth = np.linspace(0.0, 15.0, slip.size)
    rise = kinematics.rise_times_s(
        slip, depth, field, mean_s=1.5,
        rise_time=RiseTime(coefficient=2e-9, slip_correlation=0.5, spread=2.5, shallow_factor=2.0),
        shallow=ShallowZone(depth_km=5.0, transition_km=3.0), slip_log_std=0.64,
        widening_s=np.full(slip.size, widening))
    slipping = rise[slip > 0]
    assert np.all(rise[slip == 0] == 0.0)
    assert (slipping + widening).mean() == pytest.approx(1.5, rel=1e-12)
    # No more than the share beyond the spread reaches a bound.
    beyond = kinematics.RISE_TIME_BEYOND_SPREAD
    assert np.mean(slipping < slipping.min() * 1.001) <= beyond
    assert np.mean(slipping > slipping.max() * 0.999) <= beyond
    assert slipping.max() / np.median(slipping) <= 2.5 * (1 + 1e-3)  # the median of an even count
    assert slipping.min() / np.median(slipping) >= 1.0 / 2.5 * (1 - 1e-3)
    # Longer where slip is larger, and still spread.
    log_rise, log_slip = np.log(slipping), np.log(slip[slip > 0])
    assert np.corrcoef(log_rise, log_slip)[0, 1] > 0.3 and log_rise.std() > 0.15


# ---- Rupture times ---------------------------------------------------------------------------


def test_the_time_shift_is_scaled_until_its_gradient_stays_below_the_room():
    x = np.linspace(0.0, 10.0, 101)
    front = np.broadcast_to(x / 2.8, (20, 101)).copy()
    speed = np.full(front.shape, 2.8)
    limit = np.full(front.shape, 3.5)
    ripple = np.sin(2 * np.pi * x / 2.0)[None, :] * np.ones((20, 1))
    shift = kinematics.time_shift_s(front, ripple, amplitude_s=0.5)
    steep = kinematics.steepness(shift, front, speed, limit, cell_km=0.1)
    scale = kinematics.bounded_scale(steep.ravel())
    assert scale < 1.0
    written = front - scale * shift
    speed_written = 1.0 / np.gradient(written, 0.1, axis=1)
    # The cells at the quantile itself reach the limit exactly.
    assert np.mean(speed_written > 3.5 * (1 + 1e-9)) <= kinematics.TIME_PERTURBATION_EXCEEDANCE


def written_speed(times, cell_km):
    gradient = np.gradient(times, cell_km)
    return 1.0 / np.hypot(*gradient)


@pytest.mark.parametrize("seed, angle_deg", [(1, 0.0), (2, 30.0), (3, 90.0), (4, 135.0)])
def test_the_bound_on_the_shift_is_the_exact_one_for_the_fronts_direction(seed, angle_deg):
    # Only the shift's gradient along the front's travel speeds the front up: bounding its
    # whole gradient by the room below the limit scaled the perturbation down two to three
    # times more than the limit asks.
    rows, columns = np.mgrid[0:60, 0:80] * 0.1
    angle = np.radians(angle_deg)
    front = (columns * np.cos(angle) + rows * np.sin(angle)) / 2.8
    front -= front.min()
    rng = np.random.default_rng(seed)
    ripple = ndimage.gaussian_filter(rng.standard_normal(front.shape), 4.0)
    shift = kinematics.time_shift_s(front, ripple / ripple.std(), amplitude_s=0.5)
    speed, limit = np.full(front.shape, 2.8), np.full(front.shape, 3.5)
    scale = kinematics.bounded_scale(
        kinematics.steepness(shift, front, speed, limit, cell_km=0.1).ravel())
    assert 0.0 < scale < 1.0
    share = kinematics.TIME_PERTURBATION_EXCEEDANCE
    assert np.mean(written_speed(front - scale * shift, 0.1) > 3.5 * (1 + 1e-9)) <= share
    assert np.mean(written_speed(front - 1.1 * scale * shift, 0.1) > 3.5) > share


def test_a_shift_across_the_fronts_travel_is_not_bounded():
    # Varying only across the front's travel, any shift slows the front.
    x = np.linspace(0.0, 10.0, 101)
    front = np.broadcast_to(x / 2.8, (40, 101)).copy()
    ripple = np.sin(2 * np.pi * np.arange(40) * 0.1 / 1.0)[:, None] * np.ones((1, 101))
    shift = 0.5 * ripple
    steep = kinematics.steepness(shift, front, np.full(front.shape, 2.8),
                                 np.full(front.shape, 3.5), cell_km=0.1)
    assert kinematics.bounded_scale(steep.ravel()) == 1.0
    assert np.all(written_speed(front - shift, 0.1) <= 2.8 * (1 + 1e-9))


def written_of(rupture):
    text = io.StringIO()
    write_srf(text, rupture)
    return measure.written_text(text.getvalue())


@pytest.mark.parametrize("fraction, expected", [(0.95, False), (1.3, True)])
def test_written_times_are_no_faster_than_shear_unless_supershear_is_asked(fraction, expected):
    settings = RuptureSettings(magnitude=6.3, seed=2, hypocentre_km=(7.0, 7.0),
                               rupture_velocity_max_fraction=fraction,
                               rupture_velocity_fraction=min(0.8 * fraction / 0.95, 1.2))
    rupture = build_rupture(Fault.single(cell_km=0.2, length_km=20.0, width_km=10.0,
                                         top_depth_km=2.0), settings)
    faster = np.mean(measure.cell_speed_ratios(written_of(rupture)) > 1.0)
    assert (faster > 0.02) == expected


# ---- Rake ------------------------------------------------------------------------------------


@pytest.mark.parametrize("length, width, rake", [(8.0, 4.0, 90.0), (30.0, 12.0, 180.0),
                                                 (8.0, 4.0, -179.0)])
def test_the_slip_weighted_mean_rake_is_the_asked_one_and_the_rake_still_varies(length, width,
                                                                               rake):
    for seed in range(4):
        rupture = build_rupture(Fault.single(cell_km=0.5, length_km=length, width_km=width,
                                             rake_deg=rake, top_depth_km=2.0),
                                RuptureSettings(magnitude=5.8 if length < 10 else 6.6, seed=seed))
        written = written_of(rupture)
        # The weighted circular mean, as a reader takes it; the written rakes' rounding
        # leaves it a few ten-thousandths of a degree off.
        assert (measure.mean_rake_deg(written) - rake + 180.0) % 360.0 - 180.0 == pytest.approx(
            0.0, abs=0.005)
        assert measure.rake_spread_deg(written) > 3.0


# ---- Hypocentres ---------------------------------------------------------------------------


@pytest.mark.parametrize("distribution, rake, along_mean, along_std, down_mean", [
    # Mai et al. (2005): along strike N(0.5, 0.23) truncated to the fault; down dip a
    # Weibull of scale 0.626 and shape 3.921 (strike-slip), mean 0.626 Gamma(1 + 1/3.921);
    # a Gamma of shape 7.364 and scale 0.072 (dip-slip), mean 0.530.
    ("mai2005", 180.0, 0.5, 0.21, 0.626 * math.gamma(1 + 1 / 3.921)),
    ("mai2005", 90.0, 0.5, 0.21, 7.364 * 0.072),
    # Melgar and Hayes (2019): near the middle along strike, above it down dip.
    ("melgar-hayes2019", 180.0, 0.5, 0.19, 0.5 - 0.117),
])
def test_on_even_slip_hypocentres_follow_their_published_positions(distribution, rake,
                                                                   along_mean, along_std,
                                                                   down_mean):
    fault = Fault.single(cell_km=0.5, length_km=60.0, width_km=20.0, rake_deg=rake)
    slip = np.ones(fault.subfault_count)
    draws = np.array([draw_hypocentre(fault, slip, seed=seed, distribution=distribution)
                      for seed in range(3000)])
    along, down = draws[:, 0] / 60.0, draws[:, 1] / 20.0
    assert (draw_hypocentre(fault, slip, seed=17, distribution=distribution)
            == draw_hypocentre(fault, slip, seed=17, distribution=distribution))
    assert np.all((along >= 0) & (along <= 1) & (down >= 0) & (down <= 1))
    assert along.mean() == pytest.approx(along_mean, abs=0.02)
    assert along.std() == pytest.approx(along_std, abs=0.03)
    assert down.mean() == pytest.approx(down_mean, abs=0.02)


def test_hypocentres_fall_in_each_slip_class_as_often_as_mai_et_al_found():
    fault = Fault.single(cell_km=0.5, length_km=40.0, width_km=20.0)
    rows, columns = fault.cells()
    x = (np.arange(columns) + 0.5) * 0.5
    z = (np.arange(rows) + 0.5) * 0.5
    # One patch of large slip: very large and large slip cover far less than their shares.
    slip = (0.2 + np.exp(-((x[None, :] - 25.0) ** 2 + (z[:, None] - 12.0) ** 2) / 8.0)).ravel()
    classes = slip_classes(fault, slip)
    assert np.mean(classes == 0) < 0.1 and np.mean(classes == 1) < 0.2
    found = []
    for seed in range(2000):
        plane, row, column = hypocentre_subfault(fault, draw_hypocentre(fault, slip, seed=seed))
        found.append(classes[row * columns + column])
    shares = np.bincount(found, minlength=3) / len(found)
    assert np.allclose(shares, np.array(MAI_2005_CLASS_SHARES) / sum(MAI_2005_CLASS_SHARES),
                       atol=0.035)


@pytest.mark.parametrize("seed", range(1, 7))
def test_a_seed_draws_one_hypocentre_and_one_perturbation_on_cells_of_any_size(seed):
    # The hypocentre is drawn on cells of the reference grid's spacing, and the time
    # perturbation bounded on the front's fine cells, whatever the fault's cells. A draw of
    # cells in their order put the same seed's hypocentres tens of km apart along strike;
    # a draw on the fault's own cells, up to 0.74 km apart; and the bound measured on the
    # fault's cells made the perturbation up to a quarter larger on 0.5 km cells.
    settings = RuptureSettings(magnitude=6.6, seed=seed, hypocentre_distribution="mai2005")
    ruptures = [build_rupture(Fault.single(cell_km=cell, length_km=30.0, width_km=12.0),
                              settings) for cell in (0.1, 0.25, 0.5)]
    for rupture in ruptures[1:]:
        assert rupture.hypocentre_km == pytest.approx(ruptures[0].hypocentre_km, abs=1e-9)
        assert rupture.time_perturbation_s == pytest.approx(ruptures[0].time_perturbation_s,
                                                            rel=0.02)


def test_a_drawn_hypocentre_is_recorded_and_the_same_seed_draws_it_again():
    fault = Fault.single(cell_km=0.5, **SMALL)
    settings = RuptureSettings(magnitude=6.0, seed=9, hypocentre_distribution="mai2005")
    first, again = build_rupture(fault, settings), build_rupture(fault, settings)
    assert first.hypocentre_km == again.hypocentre_km
    assert first.hypocentre_km != build_rupture(fault, RuptureSettings(
        magnitude=6.0, seed=10, hypocentre_distribution="mai2005")).hypocentre_km


# ---- Faults placed by magnitude --------------------------------------------------------------


@pytest.mark.parametrize("magnitude", [5.5, 6.0, 6.5, 7.0, 7.8])
@pytest.mark.parametrize("rake, dip", [(180.0, 90.0), (90.0, 45.0), (-90.0, 60.0)])
def test_a_fault_sized_by_magnitude_sits_at_kaklamanos_depth_within_the_seismogenic_crust(
        magnitude, rake, dip):
    length, width, top = scaling.placed_dimensions_km(magnitude, rake, dip)
    strike_slip = scaling.is_strike_slip(rake)
    assert length * width == pytest.approx(scaling.leonard_area_km2(magnitude, strike_slip))
    sine = math.sin(math.radians(dip))
    assert top + width * sine <= scaling.SEISMOGENIC_DEPTH_KM + 1e-9
    a, b = scaling.KAKLAMANOS_2011_HYPOCENTRE_DEPTH[scaling.mechanism_class(rake)]
    hypocentre = a + b * magnitude
    if top > 0 and top + width * sine < scaling.SEISMOGENIC_DEPTH_KM:
        assert top + 0.6 * width * sine == pytest.approx(hypocentre)
    fault = Fault.for_magnitude(magnitude, 0.5, rake_deg=rake, dip_deg=dip)
    assert fault.planes[0].top_depth_km == pytest.approx(top, abs=1e-3)
