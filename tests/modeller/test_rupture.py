"""The rupture builder: the von Kármán embedding, the slip and moment bookkeeping, the
front, the pulses and the moment-rate sum, the crust it uses, and reproducibility."""

import hashlib
import io
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import _kernels
from kinematic_rupture import (Fault, LayeredModel, RuptureSettings, build_rupture, parse_srf,
                               scaling, write_srf)
from kinematic_rupture.charts import fault_charts
from kinematic_rupture.field import PADDING_FACTORS, embed_von_karman, smooth_size, von_karman
from kinematic_rupture.moment import moment_rate
from kinematic_rupture.rupture import SLIP_THRESHOLD_M, edge_taper

SMALL = Fault.single(length_km=12.0, width_km=6.0, cell_km=0.25, dip_deg=60.0, top_depth_km=1.0)
SETTINGS = RuptureSettings(magnitude=6.2, seed=5, hypocentre_km=(4.1, 3.6))


@pytest.fixture(scope="module")
def rupture():
    return build_rupture(SMALL, SETTINGS)


def grid(rupture, values):
    return rupture.fault.on_plane(values, 0)


# ---- the random fields ----------------------------------------------------------------


@pytest.mark.parametrize("r", [0.0, 1e-3, 0.3, 1.0, 4.0, 20.0])
def test_von_karman_with_hurst_one_half_is_exponential(r):
    assert von_karman(np.array([r]), 0.5)[0] == pytest.approx(math.exp(-r), rel=1e-12)


def full_covariance(embedding):
    """The periodic covariance that the amplitudes embed, by inverting the eigenvalues."""
    pi, pj = embedding.padded_shape
    eigenvalues = embedding.amplitudes**2
    half = eigenvalues[np.minimum(np.arange(pi), pi - np.arange(pi))]
    return np.fft.irfft2(half, s=(pi, pj))


@pytest.mark.parametrize("hurst, correlation, padded", [
    (0.3, (2.0, 1.0), (32, 60)),
    (0.75, (0.5, 0.8), (32, 60)),
    (0.5, (3.0, 1.5), (48, 90)),  # non-negative only once padded three times over
])
def test_an_embedding_without_clipping_reproduces_the_anisotropic_covariance(hurst, correlation,
                                                                            padded):
    cells, cell = (16, 30), 0.25
    embedding = embed_von_karman(cells, cell, correlation, hurst)
    assert embedding.clipped_fraction == 0.0 and embedding.padded_shape == padded
    down = np.arange(cells[0])[:, None] * cell / correlation[1]
    along = np.arange(cells[1])[None, :] * cell / correlation[0]
    np.testing.assert_allclose(full_covariance(embedding)[: cells[0], : cells[1]],
                               von_karman(np.hypot(down, along), hurst), atol=1e-12)


def test_long_correlations_grow_the_padding_then_clip_and_say_how_much():
    embedding = embed_von_karman((8, 12), 0.5, (40.0, 20.0), 1.0)
    largest = PADDING_FACTORS[-1]
    assert embedding.padded_shape == (smooth_size(largest * 8), smooth_size(largest * 12))
    assert 0.0 < embedding.clipped_fraction < 0.5 and 0.0 < embedding.clipped_variance < 0.1
    assert full_covariance(embedding)[0, 0] == pytest.approx(1.0 + embedding.clipped_variance,
                                                             rel=1e-9)


def test_an_embedding_is_made_once_and_shared_read_only():
    first = embed_von_karman((10, 20), 0.5, (3.0, 2.0), 0.75)
    assert embed_von_karman((10, 20), 0.5, (3.0, 2.0), 0.75) is first
    assert not first.amplitudes.flags.writeable


def test_edge_taper_spares_the_top_edge_only_where_it_breaks_the_surface():
    def taper(fault):
        (chart,) = fault_charts(fault)
        return edge_taper(fault, chart, first=True, last=True)

    surface = taper(Fault.single(length_km=10.0, width_km=5.0, cell_km=0.25))
    buried = taper(Fault.single(length_km=10.0, width_km=5.0, cell_km=0.25, top_depth_km=3.0))
    assert np.all(surface[0, 15:25] == 1.0) and np.all(buried[0, 15:25] < 0.1)
    for taper in (surface, buried):
        assert np.all(taper[-1] < 0.1) and np.all(taper[:, 0] < 0.1) and np.all(taper[:, -1] < 0.1)
        assert np.all(taper > 0) and np.all(taper <= 1)
        np.testing.assert_allclose(taper, taper[:, ::-1])


# ---- the rupture -----------------------------------------------------------------------


def test_slip_carries_the_target_moment_with_depth_dependent_rigidity(rupture):
    assert rupture.slip_m.shape == (24 * 48,)
    target = scaling.moment_nm(6.2)
    assert rupture.moment_nm == pytest.approx(target, rel=1e-12)
    assert rupture.mw == pytest.approx(6.2, abs=1e-12)
    recomputed = (rupture.slip_m * rupture.density_g_cm3 * 1e3 * (rupture.vs_km_s * 1e3) ** 2).sum()
    assert recomputed * SMALL.cell_area_m2 == pytest.approx(target, rel=1e-12)
    rigidity = grid(rupture, rupture.rigidity_pa)
    assert np.all(np.diff(rigidity[:, 0]) > 0)
    assert 1e10 < rigidity.min() < rigidity.max() < 4.5e10


def test_pulses_hold_exactly_the_slip_of_the_slipping_cells(rupture):
    slip = rupture.slip_m
    lengths = np.diff(rupture.offsets)
    assert np.all((lengths > 0) == (slip > 0))
    assert np.all(slip[slip > 0] > SLIP_THRESHOLD_M)
    sums = np.add.reduceat(rupture.samples, rupture.offsets[:-1][lengths > 0]) * SETTINGS.dt_s
    np.testing.assert_allclose(sums, slip[slip > 0], rtol=1e-12)


def test_the_moment_rate_integrates_to_the_moment_within_the_duration(rupture):
    rate = rupture.moment_rate_nm_s
    assert np.all(rate >= 0)
    assert rate.sum() * SETTINGS.dt_s == pytest.approx(rupture.moment_nm, rel=1e-12)
    last = np.flatnonzero(rate)[-1] * SETTINGS.dt_s
    assert rupture.duration_s - SETTINGS.dt_s - 1e-9 <= last <= rupture.duration_s + SETTINGS.dt_s
    assert rupture.duration_s > rupture.rupture_time_s[rupture.slip_m > 0].max()


def row_centroids(starts, offsets, samples, dt):
    """The time (s) at each non-empty row's centroid, its samples taken at start + m dt."""
    lengths = np.diff(offsets)
    rows = np.flatnonzero(lengths)
    index = np.arange(samples.size) - np.repeat(offsets[:-1], lengths)
    weight = np.add.reduceat(samples, offsets[:-1][rows])
    moment = np.add.reduceat(samples * index, offsets[:-1][rows])
    return rows, starts[rows] + dt * moment / weight


def test_each_pulse_is_centred_on_its_rupture_time():
    # The smoothing spreads a pulse over the time the front takes to cross its cell, from
    # half of it before the front reaches the cell's centre to half of it after; measured
    # from the file: TINIT and the written samples.
    fault = Fault.single(length_km=12.0, width_km=8.0, cell_km=0.5, dip_deg=60.0)
    # The hypocentre lies at a front cell's centre, 0.07 km from its cell's.
    rupture = build_rupture(fault, RuptureSettings(magnitude=6.2, seed=3, hypocentre_km=(4.2, 5.2)))
    text = io.StringIO()
    write_srf(text, rupture)
    points = parse_srf(text.getvalue()).points
    dt = rupture.dt_s
    rows, centroids = row_centroids(points.tinit_s, points.offsets[0], points.rates[0], dt)
    offsets, samples = _kernels.synthesise_pulses(rupture.slip_m, rupture.rise_time_s, dt,
                                                  np.full(rupture.slip_m.size, rupture.settings.beta))
    same_rows, unsmoothed = row_centroids(np.zeros(rupture.slip_m.size), offsets, samples, dt)
    assert np.array_equal(rows, same_rows)
    late = centroids - (rupture.rupture_time_s[rows] + unsmoothed)
    half = 0.5 * fault.cell_km / rupture.rupture_velocity_km_s[rows]
    assert half.max() > 4 * dt  # the smoothing is many samples wide
    assert np.all(points.tinit_s >= 0.0)
    # Where the front reaches a cell less than half a crossing after the rupture starts
    # (the hypocentre's cell), the slip starts with the rupture and is spread until the
    # front has crossed the rest of the cell: later than centred, by less than half.
    started = points.tinit_s[rows] == 0.0
    assert 1 <= started.sum() <= 2
    assert np.all((late[started] > -dt) & (late[started] < half[started]))
    np.testing.assert_allclose(late[~started], 0.0, atol=2e-6)


def test_the_front_leaves_the_hypocentre(rupture):
    plane, i, j = rupture.hypocentre_cell
    assert (plane, i, j) == (0, int(3.6 / 0.25), int(4.1 / 0.25))
    times = grid(rupture, rupture.front_time_s)
    speed = grid(rupture, rupture.rupture_velocity_km_s)
    assert times[i, j] == times.min()
    offset = math.hypot((i + 0.5) * 0.25 - 3.6, (j + 0.5) * 0.25 - 4.1)
    assert times[i, j] == pytest.approx(offset / speed[i, j], rel=1e-12)
    vs = grid(rupture, rupture.vs_km_s)
    assert np.all(speed >= SETTINGS.rupture_velocity_min_fraction * vs - 1e-12)
    assert np.all(speed <= SETTINGS.rupture_velocity_max_fraction * vs + 1e-12)
    down = (np.arange(24)[:, None] + 0.5) * 0.25 - 3.6
    along = (np.arange(48)[None, :] + 0.5) * 0.25 - 4.1
    assert np.all(times >= np.hypot(down, along) / speed.max() - 1e-9)


def test_the_moment_rate_shares_each_sample_between_its_neighbouring_times():
    offsets = np.array([0, 3, 3, 5])
    samples = np.array([0.0, 2.0, 0.0, 1.0, 1.0])
    times = np.array([0.25, 7.0, 2.0])
    weight = np.array([1.0, 10.0, 3.0])
    rate = moment_rate(times, offsets, samples, weight, 1.0)
    np.testing.assert_allclose(rate[:5], [0.0, 1.5, 0.5 + 3.0, 3.0, 0.0])
    assert rate.sum() == pytest.approx(8.0)
    # Rows sampled twice as finely count half as much per sample.
    finer = moment_rate(times, offsets, samples, weight, 1.0, np.array([0.5, 1.0, 0.5]))
    assert finer.sum() == pytest.approx(4.0)


def test_a_layered_crust_gives_each_subfault_its_layers_values(tmp_path):
    model_file = tmp_path / "crust.txt"
    model_file.write_text("# top vp vs rho\n0 1.8 0.5 2.0\n2.0 4.0 2.2 2.4  # below 2 km\n"
                          "3.5 6.0 3.5 2.7\n")
    model = LayeredModel.from_file(model_file)
    fault = Fault.single(length_km=4.0, width_km=6.0, cell_km=0.5, dip_deg=45.0, top_depth_km=1.0)
    built = build_rupture(fault, RuptureSettings(magnitude=5.6, velocity_model=model))
    depth = built.depth_km
    expected_vs = np.where(depth < 2.0, 0.5, np.where(depth < 3.5, 2.2, 3.5))
    expected_rho = np.where(depth < 2.0, 2.0, np.where(depth < 3.5, 2.4, 2.7))
    assert np.array_equal(built.vs_km_s, expected_vs)
    assert np.array_equal(built.density_g_cm3, expected_rho)
    assert np.array_equal(built.rigidity_pa, expected_rho * 1e3 * (expected_vs * 1e3) ** 2)
    assert built.moment_nm == pytest.approx(scaling.moment_nm(5.6), rel=1e-12)


# ---- reproducibility -----------------------------------------------------------------------


def fingerprint(rupture):
    digest = hashlib.sha256()
    for array in (rupture.slip_m, rupture.rupture_time_s, rupture.rise_time_s, rupture.offsets,
                  rupture.samples, rupture.moment_rate_nm_s):
        digest.update(np.ascontiguousarray(array).tobytes())
    return digest.hexdigest()


FINGERPRINT_SCRIPT = f"""
import sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
from test_rupture import SETTINGS, SMALL, fingerprint
from kinematic_rupture import build_rupture
print(fingerprint(build_rupture(SMALL, SETTINGS)))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_the_same_fault_and_settings_give_the_same_rupture_in_any_process(rupture, threads):
    child = subprocess.run([sys.executable, "-c", FINGERPRINT_SCRIPT], capture_output=True,
                           text=True, env=dict(os.environ, RAYON_NUM_THREADS=threads), timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == fingerprint(rupture)


def test_another_seed_gives_another_rupture(rupture):
    other = build_rupture(SMALL, RuptureSettings(magnitude=6.2, seed=6, hypocentre_km=(4.1, 3.6)))
    assert not np.array_equal(other.slip_m, rupture.slip_m)
    assert other.moment_nm == pytest.approx(rupture.moment_nm, rel=1e-12)
