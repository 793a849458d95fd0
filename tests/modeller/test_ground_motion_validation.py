"""`validate --ground-motion` on a tiny scenario (three ruptures, four stations, pyprop8's
Green's functions at 0.25 Hz): the report and its figures, and its statistics against
their definitions; the footwall rings' distances; its refusals."""

import dataclasses

import numpy as np
import pytest

import greens_standin as standin
from kinematic_rupture import cli, ground_motion_report, ground_motion_validation as gmv, shaking
from kinematic_rupture.rupture_surface import distances, surface_of
from kinematic_rupture.stations import station_arrays

pytest.importorskip("pygmm")

CRUST = "# top vp vs rho\n0.0 4.0 2.2 2.4\n2.0 6.0 3.46 2.7\n"
TINY = gmv.Scenario("SS5.5", 5.5, 180.0, 90.0, 1.0)


@pytest.fixture
def tiny_scenarios(monkeypatch):
    monkeypatch.setattr(gmv, "SCENARIOS", (TINY,))
    monkeypatch.setattr(gmv, "RING_DISTANCES_KM", (5.0, 10.0))
    monkeypatch.setattr(gmv, "STATIONS_PER_RING", 2)
    monkeypatch.setattr(gmv, "CHECKED_LONGEST_PERIOD_S", 10.0)
    monkeypatch.setattr(shaking, "table_for", standin.table_for)
    monkeypatch.setattr(shaking, "DISTANCE_STEP_WAVELENGTHS", 0.125)


def test_footwall_rings_lie_at_their_distances():
    fault = gmv.scenario_fault(gmv.Scenario("RV", 6.5, 90.0, 45.0, 3.0))
    srf_file = gmv.rupture_file(fault, gmv.RuptureSettings(magnitude=6.5), 1)
    surface = surface_of(srf_file)
    stations = gmv.footwall_stations(surface)
    where = distances(surface, *station_arrays(stations))
    rings = np.repeat(gmv.RING_DISTANCES_KM, gmv.STATIONS_PER_RING)
    assert where.rjb == pytest.approx(rings, rel=2e-3)
    assert np.all(where.rx < 0)  # all on the footwall


def test_a_tiny_run_writes_its_report(tmp_path, monkeypatch, capsys, tiny_scenarios):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "crust.txt").write_text(CRUST)
    status = cli.main(["validate", "--ground-motion", "--count", "3", "--velocity-model",
                           "crust.txt", "--max-frequency-hz", "0.25", "--output", "gm"])
    printed = capsys.readouterr()
    assert status in (0, 1), printed.err
    assert f"{TINY.key}" in printed.out and "report: gm/ground-motion/report.md" in printed.out
    assert sorted(path.name for path in (tmp_path / "gm" / "ground-motion").iterdir()) == [
        "SS5.5.png", "biases.png", "report.md"]
    report = (tmp_path / "gm" / "ground-motion" / "report.md").read_text()
    assert "| SS5.5 |" in report and "![SS5.5](SS5.5.png)" in report
    assert (status == 0) == ("| PASS |" in report)


def test_statistics_follow_their_definitions(monkeypatch, tiny_scenarios, tmp_path):
    crust_path = tmp_path / "crust.txt"
    crust_path.write_text(CRUST)
    crust = gmv.LayeredModel.from_file(crust_path)
    result = gmv.run_scenario(TINY, crust, [1, 2, 3], 0.25, standin.table_for)
    assert result.psa_g.shape == (3, 4, len(result.periods_s)) and np.all(result.psa_g > 0)
    models = np.exp(np.log(result.model_median_g).mean(axis=0))
    residual = np.log(result.psa_g / models)
    near = result.ring_km == 5.0
    assert result.bias()[:, 0] == pytest.approx(residual[:, near].mean(axis=(0, 1)))
    assert result.mean_bias() == pytest.approx(result.bias().mean(axis=1))
    within = (residual - residual.mean(axis=1, keepdims=True))[:, near].reshape(-1, residual.shape[-1])
    assert result.phi()[:, 0] == pytest.approx(within.std(axis=0, ddof=1))
    assert result.tau() == pytest.approx(residual.mean(axis=1).std(axis=0, ddof=1))
    # One rupture has no between-event spread: the report says so rather than 0.
    alone = dataclasses.replace(result, seeds=result.seeds[:1], psa_g=result.psa_g[:1],
                                hypocentre_depth_km=result.hypocentre_depth_km[:1])
    assert np.all(np.isnan(alone.tau()))
    assert all(line.endswith("| n/a |") for line in ground_motion_report.scenario_table(alone)[2:])
    # A pass is decided by both limits.
    monkeypatch.setattr(gmv, "MEAN_BIAS_LIMIT", np.abs(result.mean_bias()).max() - 1e-9)
    assert not result.passes()


@pytest.mark.parametrize("extra, message", [
    (["--magnitude", "7"], "--magnitude: the ground-motion scenarios fix the fault"),
    (["--count", "0"], "--count 0: must be a whole number from 1 to 10000"),
    (["--max-frequency-hz", "9"], "--max-frequency-hz 9: must be a number of Hz in (0, 5]"),
])
def test_refusals(tmp_path, monkeypatch, capsys, extra, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "crust.txt").write_text(CRUST)
    assert cli.main(["validate", "--ground-motion", "--velocity-model", "crust.txt", *extra]) == 2
    error = capsys.readouterr().err
    assert error.startswith(f"kinematic-rupture validate: {message}") and error.count("\n") == 1
