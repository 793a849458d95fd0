"""The benchmark harness and peers of bench/: a comparison means something only if the
peer computes the same thing, the closed-form answer is right and the measurement counts
what it claims to."""

import sys
from pathlib import Path

import numpy as np
import pytest

import _kernels

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import eikonal  # noqa: E402
import exports  # noqa: E402
import field  # noqa: E402
import harness  # noqa: E402
import pulses  # noqa: E402
import report  # noqa: E402


@pytest.mark.parametrize("subfaults, dt", [(3000, pulses.DT_S), (500, 0.2), (500, 1.5)])
def test_numpy_peer_synthesises_the_kernels_pulses(subfaults, dt):
    slip, rise, beta = pulses.inputs(subfaults)
    slip[::7] = 0.0  # subfaults that do not slip get empty rows
    offsets, samples = _kernels.synthesise_pulses(slip, rise, dt, beta)
    peer_offsets, peer_samples = pulses.numpy_pulses(slip, rise, dt, beta)
    assert np.array_equal(offsets, peer_offsets)
    np.testing.assert_allclose(peer_samples, samples, rtol=0, atol=1e-12 * np.abs(samples).max())


@pytest.mark.parametrize("medium", list(eikonal.MEDIA))
def test_closed_form_times_solve_the_eikonal_equation(medium):
    velocity, distance, exact = eikonal.linear_medium(200, medium)
    source = eikonal.hypocentre(200)
    assert exact[source] == 0.0 and distance[source] == 0.0
    d_down, d_along = np.gradient(exact, eikonal.SPACING_KM)
    slowness = np.hypot(d_down, d_along)[2:-2, 2:-2]
    away = (distance[2:-2, 2:-2] > 1.0)  # where central differences of t are smooth
    np.testing.assert_allclose(slowness[away], 1 / velocity[2:-2, 2:-2][away], rtol=1e-2)


@pytest.mark.parametrize("medium", list(eikonal.MEDIA))
def test_both_solvers_approach_the_closed_form(medium):
    pytest.importorskip("skfmm")
    problem = {"side": 200, "medium": medium}
    for method in (eikonal.KERNEL, eikonal.ORDER_1, eikonal.ORDER_2):
        error = eikonal.accuracy(method, eikonal.setup(method, **problem)(), **problem)
        assert 0 < error["mean_error_s"] < error["max_error_s"] < 0.5, method


def test_recipe_draws_fields_of_the_kernels_variance():
    pytest.importorskip("scipy")
    shape, cells = (512, 512), (256, 256)
    quadrant = field.amplitude_quadrant(512)
    ours = _kernels.circulant_draw(quadrant, shape, cells, field.SEED)
    recipe = field.recipe_draw(quadrant, shape, cells)
    for a, b in zip(ours, recipe):
        assert a.shape == b.shape == cells
        assert np.var(b) == pytest.approx(np.var(a), rel=0.03)


def test_a_run_counts_the_calls_time_and_at_least_its_output():
    (run,) = harness.measure("pulses", [(pulses.KERNEL, {"subfaults": 50_000}, 1)], runs=1)
    slip, rise, beta = pulses.inputs(50_000)
    offsets, samples = _kernels.synthesise_pulses(slip, rise, pulses.DT_S, beta)
    output_mib = (offsets.nbytes + samples.nbytes) / 2**20
    (sample,) = run["runs"]
    assert sample["calls"] >= 1 and 0 < run["seconds"] < harness.MIN_SECONDS * 10
    assert output_mib <= run["peak_extra_mib"] < 3 * output_mib


def test_table_rows_have_a_cell_under_every_heading():
    timing = {"seconds": 0.5, "peak_extra_mib": 10.0, "accuracy": {}}
    rows = [
        {"kernel": "k", "peer": "p", "description": "n", "kernel_run": timing,
         "peer_run": dict(timing, seconds=2.0), "one_thread_run": dict(timing, seconds=0.9)},
        {"kernel": "k", "peer": "p", "description": "n",
         "kernel_run": dict(timing, accuracy={"max_error_s": 1e-3, "mean_error_s": 1e-4}),
         "peer_run": dict(timing, accuracy={"max_error_s": 2e-3, "mean_error_s": 2e-4})},
    ]
    heading, rule, *lines = report.kernel_table(rows)
    cells = [line.strip("|").split("|") for line in lines]
    assert all(len(row) == heading.count("|") - 1 == rule.count("|") - 1 for row in cells)
    assert [row[5].strip() for row in cells] == ["4.00", "1.00"]  # peer / kernel
    assert [row[6].strip() for row in cells] == ["1.80", "-"]  # 1 / all threads
    assert cells[1][9].strip() == "1.00e-03 / 2.00e-03"


def test_the_exports_table_has_a_cell_under_every_heading_and_the_ratios():
    rows = [{"format": "sw4-hdf5", "description": "d", "export_s": 0.3, "srf_s": 0.2,
             "export_mb": 20.0, "srf_mb": 50.0, "export_peak_mib": 12.0}]
    heading, rule, line = exports.table(rows)
    cells = line.strip("|").split("|")
    assert len(cells) == heading.count("|") - 1 == rule.count("|") - 1
    assert [cells[4].strip(), cells[7].strip()] == ["1.50", "0.40"]  # export / SRF, file / SRF


def test_the_end_to_end_table_has_a_cell_under_every_heading_and_both_ratios():
    row = {"description": "d", "kernels": 0.1, "build": 0.2, "srf": 0.3, "srf_mb": 60.0,
           "figure": 1.0, "build_ratio": 2.0, "ratio": 5.0}
    heading, rule, line = report.end_to_end_table(row)
    cells = line.strip("|").split("|")
    assert len(cells) == heading.count("|") - 1 == rule.count("|") - 1
    assert "limit 2.5" in heading
    assert [cells[5].strip(), cells[6].strip()] == ["2.00", "5.00"]  # build, build + SRF over kernels


def test_an_export_run_counts_the_writing_of_a_whole_file():
    (run,) = harness.measure("exports", [("sw4-hdf5", {"cell_km": 1.0, "format": "sw4-hdf5"}, None)],
                             runs=1)
    assert run["accuracy"]["megabytes"] > 0 and run["seconds"] > 0
