"""The main job, examples/kinematic_rupture.py, end to end on a small fault: its summary,
its PNG figure and its Standard Rupture Format file, read back by a reader written here
from the format's description."""

import math
import re
import subprocess
import sys
from pathlib import Path

import matplotlib.image
import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SCRIPT = EXAMPLES / "kinematic_rupture.py"
sys.path.insert(0, str(EXAMPLES))

import rupture_recipe as recipe  # noqa: E402

SMALL_FAULT = ["--length-km", "12", "--width-km", "6", "--cell-km", "0.5", "--magnitude", "6.1",
               "--dip", "60", "--strike", "30", "--top-depth-km", "1.5", "--lon", "140.25",
               "--lat", "36.5", "--hypocentre", "4", "3.5"]
POINT_FIELDS = ("lon", "lat", "dep", "stk", "dip", "area", "tinit", "dt", "vs", "den")
SLIP_FIELDS = ("rake", "slip1", "nt1", "slip2", "nt2", "slip3", "nt3")


def read_srf(path):
    """A Standard Rupture Format 2.0 file with one plane, as (header, points, rates).

    `points` maps each point field to an array; `rates` lists each point's slip-rate
    samples. Checks the layout on the way: six samples to a full line, and a point's
    samples never sharing a line with the next point.
    """
    lines = Path(path).read_text().splitlines()
    assert lines[0] == "2.0"
    assert lines[1] == "PLANE 1"
    elon, elat, nstk, ndip, length, width = lines[2].split()
    stk, dip, dtop, shyp, dhyp = map(float, lines[3].split())
    header = dict(elon=float(elon), elat=float(elat), nstk=int(nstk), ndip=int(ndip),
                  len=float(length), wid=float(width), stk=stk, dip=dip, dtop=dtop,
                  shyp=shyp, dhyp=dhyp)
    keyword, count = lines[4].split()
    assert keyword == "POINTS"
    header["np"] = int(count)
    values = {name: [] for name in POINT_FIELDS + SLIP_FIELDS}
    rates = []
    at = 5
    while at < len(lines):
        point, slip = lines[at].split(), lines[at + 1].split()
        assert len(point) == 10 and len(slip) == 7
        for name, text in zip(POINT_FIELDS + SLIP_FIELDS, point + slip):
            values[name].append(float(text))
        samples = int(slip[2])
        rows = math.ceil(samples / 6)
        row_values = [lines[at + 2 + r].split() for r in range(rows)]
        assert all(len(row) == 6 for row in row_values[:-1])
        assert sum(map(len, row_values)) == samples
        rates.append(np.array([float(v) for row in row_values for v in row]))
        at += 2 + rows
    points = {name: np.array(column) for name, column in values.items()}
    return header, points, rates


def run_main_job(directory, *options):
    directory.mkdir(parents=True, exist_ok=True)
    srf, png = directory / "rupture.srf", directory / "rupture.png"
    job = subprocess.run([sys.executable, str(SCRIPT), *options, "--srf", str(srf),
                          "--figure", str(png)],
                         capture_output=True, text=True, cwd=directory, timeout=300)
    assert job.returncode == 0, job.stderr
    return job.stdout, srf, png


@pytest.fixture(scope="module")
def main_job(tmp_path_factory):
    return run_main_job(tmp_path_factory.mktemp("first"), *SMALL_FAULT, "--seed", "42")


def printed_moments(summary):
    """(moment N m, Mw) from the slip, then from the moment rate, as the summary prints them."""
    found = re.findall(r"([0-9.e+]+) N m \(Mw ([0-9.]+)\) from the (slip|moment rate)", summary)
    assert [source for _, _, source in found] == ["slip", "moment rate"]
    return [(float(moment), float(mw)) for moment, mw, _ in found]


def test_the_summary_reports_moment_magnitude_duration_slip_and_kernel_times(main_job):
    summary, _, _ = main_job
    (from_slip, mw), (from_rate, mw_rate) = printed_moments(summary)
    assert mw == mw_rate == 6.1
    assert from_slip == pytest.approx(10 ** (1.5 * 6.1 + 9.1), rel=1e-3)
    assert from_rate == pytest.approx(from_slip, rel=1e-3)
    assert "24 x 12 = 288 subfaults" in summary
    assert re.search(r"duration \d+\.\d\d s", summary)
    assert re.search(r"slip: mean [0-9.]+ m, largest [0-9.]+ m", summary)
    for kernel in ("circulant_draw", "eikonal_solve", "synthesise_pulses"):
        assert re.search(rf"{kernel} \d+\.\d{{3}} s", summary)


def test_the_figure_is_a_png_image(main_job):
    _, _, png = main_job
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = matplotlib.image.imread(png)
    assert image.ndim == 3 and image.shape[0] > 400 and image.shape[1] > 600
    assert image[..., :3].std() > 0.05  # something is drawn on it


def test_the_srf_header_describes_the_plane(main_job):
    _, srf, _ = main_job
    header, points, _ = read_srf(srf)
    assert header == pytest.approx(dict(elon=140.25, elat=36.5, nstk=24, ndip=12, len=12.0, wid=6.0,
                                        stk=30.0, dip=60.0, dtop=1.5, shyp=4.0 - 6.0, dhyp=3.5,
                                        np=288))
    assert len(points["lon"]) == header["np"]


def test_each_point_slips_as_much_as_its_samples_say(main_job):
    _, srf, _ = main_job
    _, points, rates = read_srf(srf)
    sums = np.array([rate.sum() for rate in rates]) * points["dt"]
    np.testing.assert_allclose(sums, points["slip1"], rtol=1e-5, atol=1e-6)
    assert np.array_equal(points["nt1"] == 0, points["slip1"] == 0)
    for unused in ("slip2", "nt2", "slip3", "nt3"):
        assert np.all(points[unused] == 0)


def test_the_moment_of_the_file_is_the_printed_moment(main_job):
    summary, srf, _ = main_job
    _, points, _ = read_srf(srf)
    rigidity = points["den"] * 1e3 * (points["vs"] / 100.0) ** 2  # g/cm^3 and cm/s to SI
    moment = (points["slip1"] / 100.0 * points["area"] / 1e4 * rigidity).sum()
    (printed, _), _ = printed_moments(summary)
    assert moment == pytest.approx(printed, rel=1e-3)


def test_the_srf_points_are_the_cells_in_their_units(main_job):
    _, srf, _ = main_job
    _, points, _ = read_srf(srf)
    fault = recipe.Fault(length_km=12.0, width_km=6.0, cell_km=0.5, lon=140.25, lat=36.5,
                         strike_deg=30.0, dip_deg=60.0, top_depth_km=1.5)
    lon, lat = fault.cell_lon_lat()
    # Along strike fastest, then down dip.
    np.testing.assert_allclose(points["lon"], lon.ravel(), atol=2e-6)
    np.testing.assert_allclose(points["lat"], lat.ravel(), atol=2e-6)
    depths = 1.5 + (np.arange(12) + 0.5) * 0.5 * math.sin(math.radians(60.0))
    np.testing.assert_allclose(points["dep"], np.repeat(depths, 24), atol=2e-6)
    assert np.all(points["area"] == pytest.approx(0.5e5**2))
    assert np.all(points["stk"] == 30.0) and np.all(points["dip"] == 60.0)
    assert np.all(points["rake"] == 180.0) and np.all(points["dt"] == 0.05)
    vs, density = points["vs"], points["den"]
    assert np.all((vs > 1.5e5) & (vs < 4.5e5)) and np.all((density > 2.0) & (density < 3.2))
    # The front starts at the hypocentre's cell: column 8, row 7.
    assert np.argmin(points["tinit"]) == 7 * 24 + 8


def test_the_srf_carries_the_recipes_arrays(tmp_path):
    fault = recipe.Fault(length_km=5.0, width_km=3.0, cell_km=0.25, dip_deg=45.0,
                         top_depth_km=2.0, rake_deg=90.0)
    rupture = recipe.build_rupture(fault, recipe.RuptureSettings(magnitude=5.2, seed=3, dt_s=0.02))
    recipe.write_srf(tmp_path / "r.srf", fault, rupture)
    _, points, rates = read_srf(tmp_path / "r.srf")
    np.testing.assert_allclose(points["tinit"], rupture.rupture_time_s.ravel(), atol=1e-6)
    np.testing.assert_allclose(points["slip1"], rupture.slip_m.ravel() * 100, rtol=1e-6)
    np.testing.assert_allclose(points["vs"], rupture.vs_km_s.ravel() * 1e5, rtol=1e-6)
    np.testing.assert_allclose(points["den"], rupture.density_g_cm3.ravel(), rtol=1e-6)
    assert np.all(points["rake"] == 90.0) and np.all(points["dt"] == 0.02)
    for k, rate in enumerate(rates):
        row = rupture.samples[rupture.offsets[k]:rupture.offsets[k + 1]]
        np.testing.assert_allclose(rate, row * 100, rtol=1e-5, atol=1e-12)


def test_the_same_seed_gives_the_same_files_and_another_seed_another(main_job, tmp_path):
    _, srf, png = main_job
    _, same_srf, same_png = run_main_job(tmp_path / "same", *SMALL_FAULT, "--seed", "42")
    assert same_srf.read_bytes() == srf.read_bytes()
    assert same_png.read_bytes() == png.read_bytes()
    _, other_srf, _ = run_main_job(tmp_path / "other", *SMALL_FAULT, "--seed", "43")
    assert other_srf.read_bytes() != srf.read_bytes()


def test_help_lists_the_options():
    shown = subprocess.run([sys.executable, str(SCRIPT), "--help"], capture_output=True, text=True,
                           timeout=120)
    assert shown.returncode == 0
    for option in ("--length-km", "--width-km", "--cell-km", "--magnitude", "--hypocentre",
                   "--seed", "--srf", "--figure", "--lon", "--lat", "--strike", "--dip", "--rake",
                   "--top-depth-km"):
        assert option in shown.stdout


@pytest.mark.parametrize(
    "options, complaint",
    [
        (["--cell-km", "0.7"], "a fault length of 60 km is not a whole number of 0.7 km cells"),
        (["--hypocentre", "70", "3"], "a hypocentre at (70, 3) km is off the 60 km x 20 km fault"),
    ],
)
def test_a_fault_or_hypocentre_that_cannot_be_is_a_usage_error(options, complaint, tmp_path):
    refused = subprocess.run([sys.executable, str(SCRIPT), *options], capture_output=True,
                             text=True, cwd=tmp_path, timeout=120)
    assert refused.returncode == 2
    assert complaint in refused.stderr
    assert not (tmp_path / "output").exists()
