"""The rupture recipe of examples/: fault geometry, the embedding of the von Kármán
covariance, the slip and moment bookkeeping, the moment-rate sum and reproducibility."""

import hashlib
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import rupture_recipe as recipe  # noqa: E402

SMALL = recipe.Fault(length_km=12.0, width_km=6.0, cell_km=0.25, dip_deg=60.0, top_depth_km=1.0)
SETTINGS = recipe.RuptureSettings(magnitude=6.2, seed=5, hypocentre_km=(4.1, 3.6))


@pytest.fixture(scope="module")
def rupture():
    return recipe.build_rupture(SMALL, SETTINGS)


def great_circle(lon1, lat1, lon2, lat2):
    """Distance (km) and initial bearing (degrees) between points, by the haversine formula."""
    p1, p2, dl = np.radians(lat1), np.radians(lat2), np.radians(lon2 - lon1)
    h = np.sin((p2 - p1) / 2) ** 2 + np.cos(p1) * np.cos(p2) * np.sin(dl / 2) ** 2
    distance = 2 * recipe.EARTH_RADIUS_KM * np.arcsin(np.sqrt(h))
    bearing = np.degrees(np.arctan2(np.sin(dl) * np.cos(p2),
                                    np.cos(p1) * np.sin(p2) - np.sin(p1) * np.cos(p2) * np.cos(dl)))
    return distance, bearing % 360.0


def angle_between(a, b):
    return np.abs((a - b + 180.0) % 360.0 - 180.0)


# ---- the fault -------------------------------------------------------------------------


@pytest.mark.parametrize("strike, dip", [(0.0, 90.0), (295.0, 90.0), (40.0, 30.0), (180.0, 75.0)])
def test_cell_centres_lie_on_the_plane(strike, dip):
    fault = recipe.Fault(length_km=8.0, width_km=4.0, cell_km=0.5, lon=-117.5, lat=34.2,
                         strike_deg=strike, dip_deg=dip, top_depth_km=2.0)
    lon, lat = fault.cell_lon_lat()
    assert lon.shape == lat.shape == fault.cells == (8, 16)

    step, bearing = great_circle(lon[:, :-1], lat[:, :-1], lon[:, 1:], lat[:, 1:])
    np.testing.assert_allclose(step, 0.5, rtol=1e-6)
    # Bearings drift along a great circle as meridians converge: a few hundredths of a
    # degree over this fault.
    assert angle_between(bearing, strike).max() < 0.05

    across = 0.5 * math.cos(math.radians(dip))
    step, bearing = great_circle(lon[:-1], lat[:-1], lon[1:], lat[1:])
    np.testing.assert_allclose(step, across, rtol=1e-6, atol=1e-9)
    if dip < 90:
        assert angle_between(bearing, strike + 90.0).max() < 0.05

    # The reference point is the centre of the top edge: half a cell up-dip of the
    # midpoint between the top row's two central cells.
    middle_lon, middle_lat = lon[0, 7:9].mean(), lat[0, 7:9].mean()
    offset, _ = great_circle(fault.lon, fault.lat, middle_lon, middle_lat)
    assert offset == pytest.approx(0.5 * across, abs=1e-4)

    np.testing.assert_allclose(fault.row_depths_km(),
                               2.0 + (np.arange(8) + 0.5) * 0.5 * math.sin(math.radians(dip)))


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"cell_km": 0.7}, "a fault length of 60 km is not a whole number of 0.7 km cells"),
        ({"width_km": 20.05}, "a fault width of 20.05 km is not a whole number of 0.1 km cells"),
        ({"cell_km": 0.0}, "a cell of 0 km charts nothing"),
        ({"length_km": 0.0}, "a fault length of 0 km is not a whole number"),
        ({"dip_deg": 0.0}, "a dip of 0 degrees must be in (0, 90]"),
        ({"dip_deg": 95.0}, "a dip of 95 degrees must be in (0, 90]"),
        ({"top_depth_km": -1.0}, "the top edge at -1 km depth is above the surface"),
        ({"lat": 91.0}, "a latitude of 91 degrees is off the globe"),
    ],
)
def test_faults_that_cannot_be_charted_are_refused(changes, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")
                       .replace("]", r"\]")):
        recipe.Fault(**changes)


# ---- the random fields ----------------------------------------------------------------


@pytest.mark.parametrize("r", [0.0, 1e-3, 0.3, 1.0, 4.0, 20.0])
def test_von_karman_with_hurst_one_half_is_exponential(r):
    assert recipe.von_karman(np.array([r]), 0.5)[0] == pytest.approx(math.exp(-r), rel=1e-12)


def test_von_karman_falls_from_one_and_decays_slower_for_rougher_fields():
    r = np.linspace(0.0, 5.0, 51)
    for hurst in (0.3, 0.75, 1.0):
        c = recipe.von_karman(r, hurst)
        assert c[0] == 1.0 and np.all(np.diff(c) < 0)
    # A lower Hurst exponent has a sharper peak at the origin.
    assert recipe.von_karman(np.array([0.05]), 0.3)[0] < recipe.von_karman(np.array([0.05]), 1.0)[0]


def full_covariance(embedding):
    """The periodic covariance that the amplitudes embed, by inverting the eigenvalues."""
    pi, pj = embedding.padded_shape
    eigenvalues = embedding.amplitudes**2
    half = eigenvalues[np.minimum(np.arange(pi), pi - np.arange(pi))]
    return np.fft.irfft2(half, s=(pi, pj))


@pytest.mark.parametrize(
    "hurst, correlation, padded",
    [
        (0.3, (2.0, 1.0), (32, 60)),
        (0.75, (0.5, 0.8), (32, 60)),
        (0.5, (3.0, 1.5), (48, 90)),  # non-negative only once padded three times over
        (0.5, (4.0, 2.0), (64, 120)),
    ],
)
def test_an_embedding_without_clipping_reproduces_the_anisotropic_covariance(hurst, correlation,
                                                                            padded):
    cells, cell = (16, 30), 0.25
    embedding = recipe.embed_von_karman(cells, cell, correlation, hurst)
    assert embedding.clipped_fraction == 0.0 and embedding.clipped_variance == 0.0
    assert embedding.padded_shape == padded
    assert embedding.amplitudes.shape == (padded[0] // 2 + 1, padded[1] // 2 + 1)
    assert embedding.amplitudes.flags.c_contiguous

    down = np.arange(cells[0])[:, None] * cell / correlation[1]
    along = np.arange(cells[1])[None, :] * cell / correlation[0]
    expected = recipe.von_karman(np.hypot(down, along), hurst)
    np.testing.assert_allclose(full_covariance(embedding)[: cells[0], : cells[1]], expected,
                               atol=1e-12)


def test_long_correlations_grow_the_padding_then_clip_and_say_how_much():
    cells = (8, 12)
    embedding = recipe.embed_von_karman(cells, 0.5, (40.0, 20.0), 1.0)
    largest = recipe.PADDING_FACTORS[-1]
    assert embedding.padded_shape == (recipe.smooth_size(largest * 8), recipe.smooth_size(largest * 12))
    assert 0.0 < embedding.clipped_fraction < 0.5
    assert 0.0 < embedding.clipped_variance < 0.1
    assert np.all(np.isfinite(embedding.amplitudes)) and np.all(embedding.amplitudes >= 0)
    # What was clipped only adds variance: the embedded variance is 1 plus the clipped share.
    assert full_covariance(embedding)[0, 0] == pytest.approx(1.0 + embedding.clipped_variance,
                                                             rel=1e-9)


def test_edge_taper_spares_the_top_edge_only_where_it_breaks_the_surface():
    surface = recipe.edge_taper(recipe.Fault(length_km=10.0, width_km=5.0, cell_km=0.25))
    buried = recipe.edge_taper(recipe.Fault(length_km=10.0, width_km=5.0, cell_km=0.25,
                                            top_depth_km=3.0))
    middle = slice(15, 25)
    assert np.all(surface[0, middle] == 1.0)
    assert np.all(buried[0, middle] < 0.1)
    for taper in (surface, buried):
        assert np.all(taper[-1] < 0.1) and np.all(taper[:, 0] < 0.1) and np.all(taper[:, -1] < 0.1)
        assert np.all(taper > 0) and np.all(taper <= 1)
        np.testing.assert_allclose(taper, taper[:, ::-1])


# ---- the rupture -----------------------------------------------------------------------


def test_slip_carries_the_target_moment_with_depth_dependent_rigidity(rupture):
    assert rupture.slip_m.shape == rupture.rupture_time_s.shape == SMALL.cells == (24, 48)
    target = recipe.moment_nm(6.2)
    assert rupture.moment_nm == pytest.approx(target, rel=1e-12)
    assert rupture.mw == pytest.approx(6.2, abs=1e-12)
    recomputed = (rupture.slip_m * rupture.density_g_cm3 * 1e3 * (rupture.vs_km_s * 1e3) ** 2).sum()
    assert recomputed * SMALL.cell_area_m2 == pytest.approx(target, rel=1e-12)
    # Stiffer with depth, and a plausible crust.
    assert np.all(np.diff(rupture.rigidity_pa[:, 0]) > 0)
    assert 1e10 < rupture.rigidity_pa.min() < rupture.rigidity_pa.max() < 4.5e10
    assert 2.2 < rupture.density_g_cm3.min() < rupture.density_g_cm3.max() < 3.0


def test_pulses_hold_exactly_the_slip_of_the_slipping_cells(rupture):
    slip = rupture.slip_m.ravel()
    lengths = np.diff(rupture.offsets)
    assert lengths.size == slip.size
    assert np.all((lengths > 0) == (slip > 0))
    assert np.all(slip[slip > 0] > recipe.SLIP_THRESHOLD_M)
    sums = np.add.reduceat(rupture.samples, rupture.offsets[:-1][lengths > 0]) * SETTINGS.dt_s
    np.testing.assert_allclose(sums, slip[slip > 0], rtol=1e-12)


def test_the_moment_rate_integrates_to_the_moment_within_the_duration(rupture):
    rate = rupture.moment_rate_nm_s
    assert np.all(rate >= 0)
    assert rate.sum() * SETTINGS.dt_s == pytest.approx(rupture.moment_nm, rel=1e-12)
    # Pulses end on a zero sample, at the duration; the one before it is the last slip.
    last = np.flatnonzero(rate)[-1] * SETTINGS.dt_s
    assert rupture.duration_s - SETTINGS.dt_s - 1e-9 <= last <= rupture.duration_s + 1e-9
    assert rupture.duration_s > rupture.rupture_time_s[rupture.slip_m > 0].max()


def test_the_front_leaves_the_hypocentre(rupture):
    i, j = rupture.hypocentre_cell
    assert (i, j) == (int(3.6 / 0.25), int(4.1 / 0.25))
    times = rupture.rupture_time_s
    assert times[i, j] == times.min()
    # The seed's start time is the travel time from the hypocentre to the cell centre.
    offset = math.hypot((i + 0.5) * 0.25 - 3.6, (j + 0.5) * 0.25 - 4.1)
    assert times[i, j] == pytest.approx(offset / rupture.rupture_velocity_km_s[i, j], rel=1e-12)
    speed = rupture.rupture_velocity_km_s
    low, high = recipe.RUPTURE_SPEED_LIMITS
    assert np.all(speed >= low * rupture.vs_km_s - 1e-12)
    assert np.all(speed <= high * rupture.vs_km_s + 1e-12)
    # No cell is reached faster than the fastest front could take it straight there.
    down = (np.arange(24)[:, None] + 0.5) * 0.25 - 3.6
    along = (np.arange(48)[None, :] + 0.5) * 0.25 - 4.1
    assert np.all(times >= np.hypot(down, along) / speed.max() - 1e-9)


def test_rise_times_grow_with_slip(rupture):
    slipping = rupture.slip_m > 0
    order = np.argsort(rupture.slip_m[slipping])
    assert np.all(np.diff(rupture.rise_time_s[slipping][order]) >= 0)


@pytest.mark.parametrize("hypocentre", [(-0.1, 3.0), (12.5, 3.0), (6.0, 6.01)])
def test_a_hypocentre_off_the_fault_is_refused(hypocentre):
    settings = recipe.RuptureSettings(magnitude=6.0, hypocentre_km=hypocentre)
    with pytest.raises(ValueError, match="is off the 12 km x 6 km fault"):
        recipe.build_rupture(SMALL, settings)


def test_the_default_hypocentre_and_correlation_follow_the_fault_and_magnitude():
    fault = recipe.Fault(length_km=9.0, width_km=6.0, cell_km=0.5)
    rupture = recipe.build_rupture(fault, recipe.RuptureSettings(magnitude=5.5))
    assert rupture.hypocentre_km == (3.0, 4.0)
    assert rupture.hurst == 0.75
    assert rupture.correlation_km == pytest.approx((10 ** (0.5 * 5.5 - 2.5), 10 ** (5.5 / 3 - 1.5)))


def test_moment_rate_shares_each_sample_between_its_neighbouring_times():
    offsets = np.array([0, 3, 3, 5])
    samples = np.array([0.0, 2.0, 0.0, 1.0, 1.0])
    times = np.array([0.25, 7.0, 2.0])
    weight = np.array([1.0, 10.0, 3.0])
    rate = recipe.moment_rate(times, offsets, samples, weight, 1.0)
    # Cell 0's middle sample at t = 1.25 goes 3/4 to t = 1 and 1/4 to t = 2; cell 2's
    # samples fall on t = 2 and t = 3; cell 1 never slips.
    np.testing.assert_allclose(rate[:5], [0.0, 1.5, 0.5 + 3.0, 3.0, 0.0])
    assert rate.sum() == pytest.approx(2.0 + 6.0)


# ---- reproducibility -----------------------------------------------------------------------


def fingerprint(rupture):
    digest = hashlib.sha256()
    for array in (rupture.slip_m, rupture.rupture_time_s, rupture.rise_time_s, rupture.offsets,
                  rupture.samples, rupture.moment_rate_nm_s):
        digest.update(np.ascontiguousarray(array).tobytes())
    return digest.hexdigest()


FINGERPRINT_SCRIPT = f"""
import sys
sys.path[:0] = [{str(EXAMPLES)!r}, {str(Path(__file__).parent)!r}]
import rupture_recipe as recipe
from test_rupture_recipe import SETTINGS, SMALL, fingerprint
print(fingerprint(recipe.build_rupture(SMALL, SETTINGS)))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_the_same_fault_and_settings_give_the_same_rupture_in_any_process(rupture, threads):
    environment = dict(os.environ, RAYON_NUM_THREADS=threads)
    child = subprocess.run([sys.executable, "-c", FINGERPRINT_SCRIPT], capture_output=True,
                           text=True, env=environment, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == fingerprint(rupture)


def test_another_seed_gives_another_rupture(rupture):
    other = recipe.build_rupture(SMALL, recipe.RuptureSettings(magnitude=6.2, seed=6,
                                                               hypocentre_km=(4.1, 3.6)))
    assert not np.array_equal(other.slip_m, rupture.slip_m)
    assert other.moment_nm == pytest.approx(rupture.moment_nm, rel=1e-12)


def test_drawn_hypocentres_are_reproducible_and_nucleate_deep():
    fault = recipe.Fault()
    draws = np.array([recipe.draw_hypocentre(fault, seed) for seed in range(300)])
    assert recipe.draw_hypocentre(fault, 17) == recipe.draw_hypocentre(fault, 17)
    assert len({tuple(d) for d in draws}) == 300
    assert np.all((draws[:, 0] >= 6.0) & (draws[:, 0] <= 54.0))
    assert np.all((draws[:, 1] >= 2.0) & (draws[:, 1] <= 19.0))
    assert draws[:, 1].mean() > 0.55 * fault.width_km
