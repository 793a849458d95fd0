"""Validation: the fits recover what synthetic inputs were made with, the measures count
what they should, and `validate` through the command computes every comparison, passes
them on a small ensemble and writes a report whose figures exist; a failing comparison
gives exit status 1 with the report written."""

import contextlib
import io
import json
import math
import re
from types import SimpleNamespace

import matplotlib.image
import matplotlib.pyplot as plt
import numpy as np
import pytest

from kinematic_rupture import brune, command, validation
from kinematic_rupture.charts import fault_charts
from kinematic_rupture.field import draw_fields, embed_von_karman
from kinematic_rupture.files import is_temporary
from kinematic_rupture.geometry import Fault
from kinematic_rupture.rupture import edge_taper

# 6 ruptures of a 20 km x 10 km fault in 0.2 km cells, Mw 6.3 (its size by Leonard 2010).
SMALL_RUN = ["validate", "--length-km", "20", "--width-km", "10", "--cell-km", "0.2",
             "--magnitude", "6.3", "--count", "6"]
EVERY_KEY = [key for section in validation.SECTIONS for key in section.keys]


def run(argv):
    """(status, stdout, stderr) of the command run in this process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = command.main([str(a) for a in argv])
    return status, out.getvalue(), err.getvalue()


def table_rows(report):
    """(statistic, measured, result) of every row of the report's table."""
    rows = re.findall(r"^\| (.+?) \| (.+?) \| .+? \| .+? \| \*\*(pass|fail)\*\* \|$", report, re.M)
    return rows


@pytest.fixture(scope="module")
def small_run(tmp_path_factory):
    output = tmp_path_factory.mktemp("validation") / "report"
    status, out, err = run([*SMALL_RUN, "--output", output])
    return output, status, out, err


def test_a_small_run_computes_every_comparison_and_passes_them(small_run):
    output, status, out, err = small_run
    assert status == 0, err
    rows = table_rows((output / validation.REPORT).read_text())
    # The fault reaches the surface and runs below the shallow zone: every statistic applies.
    assert len(rows) == len(EVERY_KEY)
    assert [result for _, _, result in rows] == ["pass"] * len(EVERY_KEY)
    for statistic, measured, _ in rows:
        assert math.isfinite(float(measured.split()[0])), statistic
    printed = [line for line in out.splitlines() if line.startswith(("PASS", "FAIL"))]
    assert len(printed) == len(EVERY_KEY) and all(line.startswith("PASS") for line in printed)
    assert f"{len(EVERY_KEY)} of {len(EVERY_KEY)} comparisons pass" in out
    assert str(output / validation.REPORT) in out.splitlines()[-1]


def test_the_report_shows_every_figure_and_every_figure_is_a_picture(small_run):
    output, _, _, _ = small_run
    report = (output / validation.REPORT).read_text()
    for section in validation.SECTIONS:
        assert f"]({section.figure})" in report
        picture = matplotlib.image.imread(output / section.figure)
        assert picture.shape[0] > 100 and picture.shape[1] > 100
        assert picture[..., :3].std() > 0.05, f"{section.figure} is blank"
    assert sorted(path.name for path in output.iterdir()) == sorted(
        [validation.REPORT, *(section.figure for section in validation.SECTIONS)])
    assert not any(is_temporary(path) for path in output.iterdir())


def test_a_failing_comparison_exits_1_with_the_report_written(tmp_path):
    # Slip as skewed as this has asperities far stronger than Somerville et al.'s.
    status, out, err = run([*SMALL_RUN, "--set", "slip_cov=3", "--output", tmp_path])
    assert status == 1
    assert err.count("\n") == 1 and "asperity_contrast" in err and "validate" in err
    rows = table_rows((tmp_path / validation.REPORT).read_text())
    assert len(rows) == len(EVERY_KEY)
    failed = [statistic for statistic, _, result in rows if result == "fail"]
    assert "asperity slip / average slip" in failed
    assert sum(line.startswith("FAIL") for line in out.splitlines()) == len(failed)


@pytest.mark.parametrize("argv, named", [
    (["--count", "0"], "--count 0"),
    (["--count", "many"], "--count many"),
    (["--first-seed", "-1"], "--first-seed -1"),
    (["--magnitude", "nine"], "--magnitude nine"),
])
def test_bad_values_are_refused_in_one_line_before_any_work(tmp_path, argv, named):
    status, out, err = run(["validate", "--output", tmp_path / "report", *argv])
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and named in err
    assert not (tmp_path / "report").exists()


def test_an_output_that_is_a_file_is_refused(tmp_path):
    path = tmp_path / "taken"
    path.write_text("keep")
    status, _, err = run([*SMALL_RUN, "--output", path])
    assert status == 2 and "--output" in err and path.read_text() == "keep"


def test_an_output_inside_a_file_is_refused_before_any_work(tmp_path):
    path = tmp_path / "taken"
    path.write_text("keep")
    status, out, err = run([*SMALL_RUN, "--output", path / "report"])
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and f"--output {path / 'report'}: cannot write in {path}" in err
    assert path.read_text() == "keep"


class FullDisk(io.RawIOBase):
    """A stream whose every write fails, as on a full disk."""

    def writable(self):
        return True

    def write(self, data):
        raise OSError(28, "No space left on device")


def test_a_figure_that_cannot_be_written_is_closed_all_the_same():
    before = plt.get_fignums()
    drawn, panel = plt.subplots()
    panel.plot([0.0, 1.0], [1.0, 0.0])
    with pytest.raises(OSError, match="No space left"):
        validation.save(drawn, FullDisk())
    assert plt.get_fignums() == before


# ---- The slip spectrum's fit ------------------------------------------------------------------


@pytest.mark.parametrize("shape, cell_km, hurst, along_km, down_km", [
    ((40, 90), 0.25, 0.75, 3.0, 2.0),
    ((64, 48), 0.5, 0.3, 4.0, 9.0),
    ((30, 30), 1.0, 1.0, 0.01, 0.01),
])
def test_the_expected_periodogram_averages_to_the_variance(shape, cell_km, hurst, along_km, down_km):
    # Parseval: the periodogram's mean over all wavenumbers is the grid's mean square, and
    # the expected one's is the covariance at lag zero.
    expected = validation.expected_periodogram(shape, cell_km, hurst, along_km, down_km)
    assert expected.mean() == pytest.approx(1.0, rel=1e-12)
    assert expected.min() > 0


def test_cells_much_larger_than_the_correlation_length_have_a_flat_periodogram():
    expected = validation.expected_periodogram((20, 30), 1.0, 0.5, 1e-4, 1e-4)
    np.testing.assert_allclose(expected, 1.0, atol=1e-6)


@pytest.mark.parametrize("shape, cell_km, hurst, along_km, down_km", [
    ((60, 120), 0.25, 0.75, 3.0, 2.0),
    ((64, 96), 0.5, 0.4, 4.0, 6.0),
    ((80, 80), 0.2, 1.0, 2.0, 2.0),
])
def test_the_fit_recovers_the_field_it_was_drawn_from(shape, cell_km, hurst, along_km, down_km):
    embedding = embed_von_karman(shape, cell_km, (along_km, down_km), hurst)
    fields = [field for seed in range(20) for field in draw_fields(embedding, shape, 100 + seed)]
    fit = validation.fit_von_karman(np.mean([validation.periodogram(2.0 * f + 5.0) for f in fields],
                                            axis=0), cell_km)
    assert fit.hurst == pytest.approx(hurst, abs=0.05)
    assert fit.along_km == pytest.approx(along_km, rel=0.15)
    assert fit.down_km == pytest.approx(down_km, rel=0.15)
    assert fit.variance == pytest.approx(4.0, rel=0.15)


@pytest.mark.parametrize("length_km, width_km, cell_km, top_depth_km", [
    (20.0, 10.0, 0.2, 0.0), (12.0, 6.0, 0.25, 2.0), (60.0, 20.0, 0.1, 0.0), (7.0, 3.0, 0.5, 1.0),
])
def test_the_interior_is_where_the_slip_is_untapered(length_km, width_km, cell_km, top_depth_km):
    fault = Fault.single(cell_km, length_km=length_km, width_km=width_km, top_depth_km=top_depth_km)
    untapered = edge_taper(fault, fault_charts(fault)[0], True, True) == 1.0
    window = validation.interior(fault)
    inside = np.zeros_like(untapered)
    inside[window.rows, window.columns] = True
    np.testing.assert_array_equal(inside, untapered)


@pytest.mark.parametrize("trace, widths, top_depth_km", [
    ([(-117.5, 34.2), (-117.56, 34.25), (-117.62, 34.33)], 6.0, 0.0),  # one chart
    ([(-117.5, 34.2), (-117.56, 34.25), (-117.62, 34.33)], [6.0, 4.0], 1.0),  # a chart each
    ([(-117.5, 34.2), (-117.51, 34.21), (-117.6, 34.29), (-117.61, 34.30)], 4.0, 0.0),  # short ends
])
def test_each_planes_interior_is_where_its_slip_is_untapered(trace, widths, top_depth_km):
    from kinematic_rupture.geometry import planes_from_trace
    fault = Fault(planes_from_trace(trace, 0.5, width_km=widths, top_depth_km=top_depth_km), 0.5)
    charts = fault_charts(fault)
    untapered = np.zeros(fault.subfault_count, dtype=bool)
    for number, chart in enumerate(charts):
        chart.scatter(edge_taper(fault, chart, number == 0, number == len(charts) - 1) == 1.0,
                      untapered)
    inside = np.zeros(fault.subfault_count, dtype=bool)
    for number in range(len(fault.planes)):
        window = validation.interior(fault, number)
        grid = np.zeros(fault.cells(number), dtype=bool)
        grid[window.rows, window.columns] = True
        inside[fault.plane_starts()[number]:fault.plane_starts()[number + 1]] = grid.ravel()
    np.testing.assert_array_equal(inside, untapered)


@pytest.mark.parametrize("fault, asperities", [
    (["--trace", "-117.5,34.2 -117.58,34.26 -117.63,34.35", "--width-km", "10"], True),
    (["--fault", "planes.json"], False),  # planes of different widths
])
def test_a_fault_of_several_planes_is_validated(fault, asperities, tmp_path):
    from kinematic_rupture.geometry import WGS84
    end_lon, end_lat, _ = WGS84.fwd(-117.5, 34.2, 300.0, 5e3)
    lon, lat, _ = WGS84.fwd(end_lon, end_lat, 320.0, 4e3)
    (tmp_path / "planes.json").write_text(json.dumps({"cell_km": 0.25, "planes": [
        {"length_km": 10, "width_km": 10, "lon": -117.5, "lat": 34.2, "strike_deg": 300},
        {"length_km": 8, "width_km": 8, "lon": lon, "lat": lat, "strike_deg": 320}]}))
    fault = [str(tmp_path / word) if word == "planes.json" else word for word in fault]
    status, out, err = run(["validate", *fault, "--cell-km", "0.25", "--magnitude", "6.1",
                            "--count", "4", "--output", tmp_path / "report"])
    assert status in (0, 1), err
    report = (tmp_path / "report" / validation.REPORT).read_text()
    measured = [statistic for statistic, _, _ in table_rows(report)]
    assert len(measured) == len(EVERY_KEY) - (0 if asperities else 2)
    assert ("asperity area / rupture area" in measured) == asperities
    assert "fault of 2 planes" in report or "fault of 3 planes" in report
    if not asperities:
        assert "Not measured: the planes differ in width" in report
    for section in validation.SECTIONS:
        assert matplotlib.image.imread(tmp_path / "report" / section.figure)[..., :3].std() > 0.01


# ---- Asperities, spectra and ensemble estimates ----------------------------------------------


@pytest.mark.parametrize("border", [0, 3])
@pytest.mark.parametrize("block, grid", [((4, 5), (20, 30)), ((10, 10), (20, 30)), ((1, 1), (8, 8))])
def test_asperities_of_a_block_of_high_slip(block, grid, border):
    # Slip 1 with a block of 4; rows and columns of no slip around it are trimmed away.
    slip = np.ones(grid)
    slip[2:2 + block[0], 3:3 + block[1]] = 4.0
    padded = np.pad(slip, border)
    share = block[0] * block[1] / (grid[0] * grid[1])
    fraction, contrast = validation.asperities(padded)
    assert fraction == pytest.approx(share)
    assert contrast == pytest.approx(4.0 / (1.0 + 3.0 * share))


def test_uniform_slip_has_no_asperity():
    assert validation.asperities(np.full((10, 20), 2.5)) == (0.0, 0.0)


def brune_source(moment_nm, corner_hz, dt_s, seconds):
    """M0 t / T^2 exp(-t / T), T = 1 / (2 pi fc): its amplitude spectrum is exactly Brune's."""
    rise = 1.0 / (2.0 * math.pi * corner_hz)
    t = np.arange(0.0, seconds, dt_s)
    return moment_nm * t / rise**2 * np.exp(-t / rise)


@pytest.mark.parametrize("moment_nm, stress_drop_pa", [(3.5e19, 3e6), (1e17, 1e7), (4e18, 1e6)])
def test_the_corner_and_stress_drop_of_a_brune_source(moment_nm, stress_drop_pa):
    corner = brune.corner_from_stress_drop(moment_nm, stress_drop_pa)
    rate = brune_source(moment_nm, corner, 0.01, 40.0 / corner)
    fitted, _, _ = validation.corner_and_bands(rate, 0.01, moment_nm, 5.0)
    assert fitted == pytest.approx(corner, rel=0.03)
    assert brune.stress_drop_from_corner(moment_nm, fitted) == pytest.approx(stress_drop_pa, rel=0.1)


def spectrum_measures(rate, dt_s, moment_nm):
    corner, centres, levels = validation.corner_and_bands(rate, dt_s, moment_nm, 5.0)
    return SimpleNamespace(moment_nm=moment_nm, corner_hz=corner, band_hz=centres,
                           band_level_nm=levels, highest_hz=5.0)


@pytest.mark.parametrize("fall_off, passes", [(2.0, True), (1.0, False), (3.0, False)])
def test_the_spectrum_comparison_tells_omega_squared_from_other_fall_offs(fall_off, passes):
    # Moment-rate functions whose spectra fall off as f^-n above 0.1 Hz.
    dt, size = 0.01, 1 << 14
    frequency = np.fft.rfftfreq(size, dt)
    spectrum = 1e18 / (1.0 + (frequency / 0.1) ** 2) ** (fall_off / 2.0)
    rate = np.fft.irfft(spectrum, size) / dt
    rate = np.roll(rate, size // 4)
    measures = [spectrum_measures(rate, dt, 1e18)] * 3
    assert validation.brune_shape(measures).passed is passes


def test_the_jackknife_of_a_mean_is_its_standard_error():
    values = np.random.default_rng(3).normal(2.0, 0.5, 40)
    estimate = validation.mean_of(list(values))
    assert estimate.value == pytest.approx(values.mean())
    assert estimate.error == pytest.approx(values.std(ddof=1) / math.sqrt(values.size), rel=1e-9)


@pytest.mark.parametrize("rho", [0.0, 0.5, 0.8])
def test_the_pooled_correlation_recovers_the_one_drawn(rho):
    rng = np.random.default_rng(11)
    measures = []
    for _ in range(30):
        x = rng.normal(size=400) + rng.normal()
        y = rho * (x - x.mean()) + math.sqrt(1 - rho**2) * rng.normal(size=400) + 3.0
        measures.append(SimpleNamespace(sums={**validation.centred_sums(x, y, "speed"),
                                              "floored": 0.0, "interior_count": 400.0}))
    settings = SimpleNamespace(rupture_velocity_slip_correlation=rho)
    found = validation.slip_correlation(measures, settings, "speed")
    assert found.measured == pytest.approx(rho, abs=0.05)
    assert found.passed


@pytest.mark.parametrize("error, width", [(0.01, 0.1), (0.05, 0.15), (math.nan, 0.1)])
def test_a_tolerance_widens_to_three_standard_errors_only_when_they_are_wider(error, width):
    low, high, text = validation.around(1.0, 0.1, validation.Estimate(1.0, error))
    assert (low, high) == pytest.approx((1.0 - width, 1.0 + width))
    assert ("standard errors" in text) is (width > 0.1)


def test_a_spectrum_resolved_barely_above_its_corner_is_not_compared():
    dt, moment = 0.01, 1e18
    rate = brune_source(moment, 0.5, dt, 80.0)
    corner, centres, levels = validation.corner_and_bands(rate, dt, moment, 0.6)
    measures = [SimpleNamespace(moment_nm=moment, corner_hz=corner, band_hz=centres,
                                band_level_nm=levels, highest_hz=0.6)] * 2
    assert validation.brune_shape(measures) is None
