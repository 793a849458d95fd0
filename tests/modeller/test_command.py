"""The command end to end: `run` writes an SRF file, its sidecar and a figure that agree
with each other and with the summary; a sidecar regenerates the same files byte for byte;
`inspect` reads what `run` wrote (and what other writers write); memory that a build
cannot have is refused before it starts."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import matplotlib.image
import numpy as np
import pytest

from conftest import run_command, run_process
from kinematic_rupture import cli, read_srf
from kinematic_rupture.memory import available_bytes

FAULT = ["--length-km", "12", "--width-km", "6", "--cell-km", "0.5", "--magnitude", "6.1",
         "--dip", "60", "--strike", "30", "--top-depth-km", "1.5", "--lon", "140.25",
         "--lat", "36.5", "--hypocentre", "4", "3.5", "--seed", "42"]


@pytest.fixture(scope="module")
def first_run(tmp_path_factory):
    directory = tmp_path_factory.mktemp("run")
    job = run_process(["run", *FAULT], cwd=directory)
    assert job.returncode == 0, job.stderr
    return directory, job.stdout


def printed_moments(summary):
    found = re.findall(r"([0-9.e+]+) N m \(Mw ([0-9.]+)\) from the (slip|moment rate)", summary)
    assert [source for _, _, source in found] == ["slip", "moment rate"]
    return [(float(moment), float(mw)) for moment, mw, _ in found]


def test_run_writes_the_srf_its_sidecar_and_figure_in_output(first_run):
    directory, summary = first_run
    output = directory / "output"
    assert sorted(path.name for path in output.iterdir()) == [
        "kinematic_rupture.json", "kinematic_rupture.png", "kinematic_rupture.srf"]
    (from_slip, mw), (from_rate, mw_rate) = printed_moments(summary)
    assert mw == mw_rate == 6.1 and from_rate == pytest.approx(from_slip, rel=1e-3)
    assert "(24 x 12 cells)" in summary and "288 subfaults" in summary

    srf = read_srf(output / "kinematic_rupture.srf")
    sidecar = json.loads((output / "kinematic_rupture.json").read_text())
    assert srf.comments[1] == "seed 42"
    recorded = json.loads(srf.comments[2].removeprefix("settings "))
    assert recorded == sidecar["settings"]
    assert recorded["fault"]["planes"][0]["dip_deg"] == 60.0
    points = srf.points
    rigidity = points.density_g_cm3 * 1e3 * (points.vs_cm_s / 100) ** 2
    moment = float((points.slip_cm[0] / 100 * points.area_cm2 / 1e4 * rigidity).sum())
    assert moment == pytest.approx(from_slip, rel=1e-3)
    assert sidecar["summary"]["moment_nm"] == pytest.approx(from_slip, rel=1e-3)
    rate = np.array(sidecar["moment_rate"]["values"])
    assert rate.sum() * sidecar["moment_rate"]["dt_s"] == pytest.approx(sidecar["summary"]["moment_nm"], rel=1e-9)
    assert int(np.argmin(points.tinit_s)) == 7 * 24 + 8  # the hypocentre's cell

    image = matplotlib.image.imread(output / "kinematic_rupture.png")
    assert image.ndim == 3 and image.shape[0] > 400 and image.shape[1] > 600
    assert image[..., :3].std() > 0.05


def test_a_sidecar_regenerates_the_same_files_byte_for_byte(first_run, tmp_path):
    directory, _ = first_run
    again = run_process(["run", "--settings", directory / "output" / "kinematic_rupture.json",
                         "--srf", tmp_path / "again.srf", "--figure", tmp_path / "again.png"])
    assert again.returncode == 0, again.stderr
    for suffix in ("srf", "json", "png"):
        assert ((tmp_path / f"again.{suffix}").read_bytes()
                == (directory / "output" / f"kinematic_rupture.{suffix}").read_bytes()), suffix
    other = run_process(["run", "--settings", tmp_path / "again.json", "--seed", "43",
                         "--no-figure", "--srf", tmp_path / "other.srf"])
    assert other.returncode == 0, other.stderr
    assert (tmp_path / "other.srf").read_bytes() != (tmp_path / "again.srf").read_bytes()
    assert read_srf(tmp_path / "other.srf").comments[1] == "seed 43"


def test_version_one_files_carry_the_same_rupture_without_vs_and_density(first_run, tmp_path,
                                                                         capsys):
    directory, _ = first_run
    status, _, _ = run_command(["run", *FAULT, "--srf-version", "1.0", "--no-figure",
                                "--srf", tmp_path / "v1.srf"], capsys)
    assert status == 0
    first, second = read_srf(tmp_path / "v1.srf"), read_srf(directory / "output" / "kinematic_rupture.srf")
    assert first.version == "1.0" and np.all(np.isnan(first.points.vs_cm_s))
    assert np.array_equal(first.points.rates[0], second.points.rates[0])
    assert np.array_equal(first.points.tinit_s, second.points.tinit_s)
    assert json.loads((tmp_path / "v1.json").read_text())["srf_version"] == "1.0"


def test_inspect_summarises_what_run_wrote(first_run, tmp_path, capsys):
    directory, summary = first_run
    (from_slip, _), _ = printed_moments(summary)
    status, out, err = run_command(["inspect", directory / "output" / "kinematic_rupture.srf",
                                    "--figure", tmp_path / "inspect.png"], capsys)
    assert status == 0, err
    assert "SRF 2.0" in out and "points: 288 in 1 POINTS block" in out
    moment = float(re.search(r"moment: ([0-9.e+]+) N m \(Mw 6\.10\)", out).group(1))
    assert moment == pytest.approx(from_slip, rel=1e-3)
    assert "# seed 42" in out
    duration = float(re.search(r"duration: ([0-9.]+) s", out).group(1))
    printed = float(re.search(r"duration ([0-9.]+) s", summary).group(1))
    assert printed <= duration <= printed + 0.06
    assert matplotlib.image.imread(tmp_path / "inspect.png")[..., :3].std() > 0.05


@pytest.mark.parametrize("version", ["1.0", "2.0"])
def test_run_its_sidecar_and_inspect_give_one_duration_and_rise_time(version, tmp_path, capsys):
    status, summary, _ = run_command(["run", *FAULT, "--srf-version", version, "--no-figure",
                                      "--cell-km", "0.25", "--srf", tmp_path / "r.srf"], capsys)
    assert status == 0
    status, inspected, _ = run_command(["inspect", tmp_path / "r.srf"], capsys)
    assert status == 0
    sidecar = json.loads((tmp_path / "r.json").read_text())
    duration = float(re.search(r"duration ([0-9.]+) s", summary).group(1))
    assert re.search(r"duration: ([0-9.]+) s", inspected).group(1) == f"{duration:.2f}"
    assert f"{sidecar['summary']['duration_s']:.2f}" == f"{duration:.2f}"
    longest = re.search(r"rise times up to ([0-9.]+) s", summary).group(1)
    assert re.search(r"rise time \(.*\): mean [0-9.]+ s, from [0-9.]+ to ([0-9.]+) s",
                     inspected).group(1) == longest


def test_inspect_says_when_the_plane_block_does_not_count_the_points(first_run, tmp_path, capsys):
    directory, _ = first_run
    lines = (directory / "output" / "kinematic_rupture.srf").read_text().splitlines(keepends=True)
    plane = lines.index("PLANE 1\n") + 1
    words = lines[plane].split()
    words[2] = "1000000"
    lines[plane] = " ".join(words) + "\n"
    (tmp_path / "miscounted.srf").write_text("".join(lines))
    status, out, err = run_command(["inspect", tmp_path / "miscounted.srf"], capsys)
    assert status == 0, err
    assert (f"the PLANE block counts {1000000 * int(words[3]):,} cells, not the 288 points: they are "
            f"read as points alone (no grids, figure or solver export of its planes)") in out



def test_a_figure_whose_moment_rate_needs_more_memory_than_is_left_is_one_line(
        tmp_path, monkeypatch, capsys):
    # One point slipping 9,000 s after time 0 in steps of 1 ms: its moment rate and spectrum
    # span nine million samples from 0 (at 0.1 ms, every byte of the machine, until the
    # kernel killed the process).
    from kinematic_rupture import memory
    (tmp_path / "late.srf").write_text(
        "2.0\nPLANE 1\n-117.0 34.0 1 1 1.0 1.0\n0.0 90.0 0.0 0.0 0.5\nPOINTS 1\n"
        "-117.0 34.0 0.5 0.0 90.0 1e10 9000.0 1e-3 3.5e5 2.7\n180 10.0 3 0.0 0 0.0 0\n1 2 3\n")
    monkeypatch.setattr(memory, "available_bytes", lambda: 1 << 28)
    status, out, err = run_command(["inspect", tmp_path / "late.srf", "--figure",
                                    tmp_path / "late.png"], capsys)
    assert status == 1 and err.count("\n") == 1 and "duration: 9000.00 s" in out
    assert err.startswith("kinematic-rupture inspect: ran out of memory: the file's moment rate "
                          "every 0.000125 s to its last sample at 9000 s needs ")
    assert err.endswith("needs 22.5 GiB (72,000,018 samples); 0.25 GiB left\n"), err
    assert not (tmp_path / "late.png").exists()


def test_a_figure_of_a_point_starting_before_time_zero_is_one_line(tmp_path, capsys):
    # The moment rate is summed from time 0: a negative TINIT sized its grid below zero,
    # and the figure ended in a traceback.
    (tmp_path / "early.srf").write_text(
        "2.0\nPLANE 1\n-117.0 34.0 1 1 1.0 1.0\n0.0 90.0 0.0 0.0 0.5\nPOINTS 1\n"
        "-117.0 34.0 0.5 0.0 90.0 1e10 -5.0 0.1 3.5e5 2.7\n180 10.0 3 0.0 0 0.0 0\n1 2 3\n")
    status, _, err = run_command(["inspect", tmp_path / "early.srf", "--figure",
                                  tmp_path / "early.png"], capsys)
    assert status == 2 and err.count("\n") == 1, err
    assert err == (f"kinematic-rupture inspect: {tmp_path / 'early.srf'}: point 1 starts at TINIT "
                   "-5 s: its moment rate is summed from time 0, before which no point may start\n")
    assert not (tmp_path / "early.png").exists()

def test_inspect_of_a_version_one_file_takes_rigidity_from_a_velocity_model(tmp_path, capsys):
    status, _, _ = run_command(["run", *FAULT, "--srf-version", "1.0", "--no-figure",
                                "--srf", tmp_path / "v1.srf"], capsys)
    assert status == 0
    status, generic, _ = run_command(["inspect", tmp_path / "v1.srf"], capsys)
    assert status == 0 and "Mw 6.10" in generic and "generic crust" in generic
    model = tmp_path / "stiff.txt"
    model.write_text("0 6.0 3.5 2.7\n")
    status, stiff, _ = run_command(["inspect", tmp_path / "v1.srf", "--velocity-model", model],
                                   capsys)
    assert status == 0 and "1 layers from" in stiff and "Mw 6.10" not in stiff


def test_inspect_takes_the_crust_a_version_one_file_records(tmp_path, capsys):
    model = tmp_path / "stiff.txt"
    model.write_text("0 6.0 3.5 2.7\n")
    status, summary, _ = run_command(["run", *FAULT, "--srf-version", "1.0", "--no-figure",
                                      "--velocity-model", model, "--srf", tmp_path / "v1.srf"], capsys)
    assert status == 0 and "Mw 6.10" in summary
    status, recorded, _ = run_command(["inspect", tmp_path / "v1.srf"], capsys)
    assert status == 0
    assert re.search(r"moment: .* \(Mw 6\.10\), rigidity from the 1 layers from .*stiff\.txt recorded "
                     r"in the file's settings", recorded), recorded
    other = tmp_path / "soft.txt"
    other.write_text("0 3.0 1.5 2.2\n")
    status, given, _ = run_command(["inspect", tmp_path / "v1.srf", "--velocity-model", other], capsys)
    assert status == 0 and "Mw 6.10" not in given and "soft.txt" in given and "recorded" not in given


def test_inspect_warns_of_a_recorded_crust_it_cannot_read(tmp_path, capsys):
    status, _, _ = run_command(["run", *FAULT, "--srf-version", "1.0", "--no-figure",
                                "--srf", tmp_path / "v1.srf"], capsys)
    assert status == 0
    text = (tmp_path / "v1.srf").read_text()
    damaged = tmp_path / "damaged.srf"
    damaged.write_text(text.replace('"velocity_model":null', '"velocity_model":{"top_km":[0]}'))
    status, out, err = run_command(["inspect", damaged], capsys)
    assert status == 0 and "rigidity from the generic crust" in out
    warning, = err.splitlines()
    assert warning.startswith(f"kinematic-rupture: warning: {damaged}: line 4: the crust its settings "
                              f"record cannot be used (")


@pytest.mark.parametrize("content, phrase", [
    ("2.0\nPOINTS 1\n", "line 2: POINTS 1 declares more points than its 0 values hold"),
    ("hello\n", "not a version"),
])
def test_inspect_refuses_a_file_that_is_not_srf_in_one_line(content, phrase, tmp_path, capsys):
    bad = tmp_path / "bad.srf"
    bad.write_text(content)
    status, out, err = run_command(["inspect", bad], capsys)
    assert status == 2 and out == "" and err.count("\n") == 1 and phrase in err
    status, _, err = run_command(["inspect", tmp_path / "missing.srf"], capsys)
    assert status == 2 and "No such file" in err


@pytest.mark.parametrize("damage, phrase", [
    (lambda lines: lines[:-1], "declares"),  # head -n -1
    (lambda lines: [*lines[:9], " ".join([lines[9].split()[0], "nan", *lines[9].split()[2:]]) + "\n",
                    *lines[10:]], "line 10: holds nan, not a finite number"),  # SLIP1 of point 1
])
def test_inspect_refuses_a_damaged_copy_naming_the_line(first_run, damage, phrase, tmp_path, capsys):
    directory, _ = first_run
    lines = (directory / "output" / "kinematic_rupture.srf").read_text().splitlines(keepends=True)
    damaged = tmp_path / "damaged.srf"
    damaged.write_text("".join(damage(lines)))
    status, out, err = run_command(["inspect", damaged], capsys)
    assert status == 2 and out == "" and err.count("\n") == 1
    assert err.startswith(f"kinematic-rupture inspect: {damaged}: line ") and phrase in err, err


def test_the_module_and_the_console_script_are_the_same_command():
    shown = run_process(["--help"])
    assert shown.returncode == 0 and all(name in shown.stdout for name in ("run", "ensemble", "inspect"))
    run_help = run_process(["run", "--help"]).stdout
    for option in ("--length-km", "--width-km", "--cell-km", "--magnitude", "--hypocentre",
                   "--seed", "--dt", "--hurst", "--correlation-km", "--lon", "--lat", "--strike",
                   "--dip", "--rake", "--top-depth-km", "--srf", "--figure", "--srf-version",
                   "--settings", "--velocity-model"):
        assert option in run_help, option
    script = os.path.join(os.path.dirname(sys.executable), "kinematic-rupture")
    if os.path.exists(script):
        assert subprocess.run([script, "--version"], capture_output=True, text=True).stdout == \
            run_process(["--version"]).stdout


def test_instaseis_reads_version_one_files(first_run, tmp_path, capsys):
    instaseis = pytest.importorskip("instaseis")
    status, _, _ = run_command(["run", *FAULT, "--srf-version", "1.0", "--no-figure",
                                "--srf", tmp_path / "v1.srf"], capsys)
    assert status == 0
    source = instaseis.FiniteSource.from_srf_file(str(tmp_path / "v1.srf"), normalize=False)
    ours = read_srf(tmp_path / "v1.srf").points
    assert source.npointsources == len(ours)
    # instaseis works in geocentric latitude: tan(geocentric) = (1 - f)^2 tan(geographic).
    flattening = 1 / 298.257223563
    geocentric = np.degrees(np.arctan((1 - flattening) ** 2 * np.tan(np.radians(ours.lat))))
    read = np.array([(point.longitude, point.latitude) for point in source.pointsources])
    order, theirs = np.lexsort((ours.lat, ours.lon)), np.lexsort((read[:, 1], read[:, 0]))
    np.testing.assert_allclose(read[theirs, 0], ours.lon[order], atol=1e-6)
    np.testing.assert_allclose(read[theirs, 1], geocentric[order], atol=1e-4)


# ---- memory ------------------------------------------------------------------------------


def test_a_build_beyond_the_memory_available_is_refused_naming_both_amounts(tmp_path):
    # Allowed only a little more address space than it has, the command must refuse the
    # default fault's 3.7 million samples up front rather than run out of memory.
    code = ("import resource, sys; from kinematic_rupture import cli, memory;"
            "used = memory.address_space_used();"
            "resource.setrlimit(resource.RLIMIT_AS, (used + (150 << 20), resource.RLIM_INFINITY));"
            f"sys.exit(cli.main(['run', '--no-figure', '--srf', {str(tmp_path / 'r.srf')!r}]))")
    refused = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
    assert refused.returncode == 2
    line, = refused.stderr.splitlines()
    assert re.fullmatch(r"kinematic-rupture run: --dt 0\.05: the slip-rate samples at this "
                        r"interval need [0-9.]+ GiB and [0-9.]+ GiB is available; a larger dt "
                        r"needs fewer", line), line
    assert not any(tmp_path.iterdir())


def test_memory_that_runs_out_anyway_ends_the_command_in_one_line(tmp_path, capsys, monkeypatch):
    def exhausted(*arguments):
        raise MemoryError

    monkeypatch.setattr(cli.run, "build_rupture", exhausted)
    status, out, err = run_command(["run", "--srf", tmp_path / "r.srf"], capsys)
    assert status == 1 and out == ""
    assert err == "kinematic-rupture run: ran out of memory\n"
    assert not any(tmp_path.iterdir())


# ---- bugs --------------------------------------------------------------------------------


def failing(error):
    def fail(*arguments, **options):
        raise error
    return fail


@pytest.mark.parametrize("module, name, error", [
    # The fault behind "--trace -117.5,34.2 -117.6,95: cannot convert float NaN to integer",
    # which a command that took every ValueError for a refusal printed as one.
    ("kinematic_rupture.cli.run", "build_rupture", ValueError("cannot convert float NaN to integer")),
    ("_kernels", "synthesise_pulses", ValueError("a kernel's refusal of an unchecked value")),
    ("kinematic_rupture.sidecar", "sidecar_text", KeyError("summary")),
])
def test_a_bug_shows_its_traceback_and_one_line_saying_so(tmp_path, capsys, monkeypatch,
                                                          module, name, error):
    monkeypatch.setattr(f"{module}.{name}", failing(error))
    status, out, err = run_command(["run", *FAULT, "--srf", tmp_path / "r.srf"], capsys)
    assert status == 1 and out == ""
    lines = err.splitlines()
    start = lines.index("Traceback (most recent call last):")
    assert all(line.startswith("kinematic-rupture: warning: ") for line in lines[:start])
    assert f"{type(error).__name__}: {error}" in lines
    assert re.fullmatch(rf"kinematic-rupture run: a bug in kinematic-rupture \S+ \(the "
                        rf"{type(error).__name__} above\), not a fault of what it was given: "
                        rf"please report it to the maintainers of kinematic-rupture, with the "
                        rf"traceback above, the command line and the files it read", lines[-1])
    assert not any(tmp_path.iterdir())


def test_a_refusal_of_the_package_is_still_one_line(tmp_path, capsys, monkeypatch):
    from kinematic_rupture import SrfError
    monkeypatch.setattr("kinematic_rupture.cli.run.build_rupture",
                        failing(SrfError("line 3: holds no number")))
    status, out, err = run_command(["run", *FAULT, "--srf", tmp_path / "r.srf"], capsys)
    assert (status, out, err) == (2, "", "kinematic-rupture run: line 3: holds no number\n")


PEAK_SCRIPT = """
import resource, sys
from kinematic_rupture import Fault, RuptureSettings, build_rupture
from kinematic_rupture.rupture import memory_need
fault, settings = Fault(), RuptureSettings()
need = memory_need(fault, settings)
build_rupture(fault, settings)
print(need.total, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def test_the_estimate_covers_what_the_default_build_takes():
    child = subprocess.run([sys.executable, "-c", PEAK_SCRIPT], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr
    estimate, peak = map(float, child.stdout.split())
    assert peak <= estimate < 4 * peak
    assert available_bytes() > 0


# inspect of each file, in one process allowed 512 MiB more address space than it has once
# its modules are loaded: (status, stdout, stderr) of each, as JSON.
LIMITED_INSPECT = """
import contextlib, io, json, resource, sys
from kinematic_rupture import cli, figure, memory
used = memory.address_space_used()
resource.setrlimit(resource.RLIMIT_AS, (used + (512 << 20), resource.RLIM_INFINITY))
results = []
for path in sys.argv[1:]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(["inspect", path])
    results.append((status, out.getvalue(), err.getvalue()))
print(json.dumps(results))
"""
POINT = "-117.5 34.2 1.0 90 90 1e10 0.0 0.1 300000 2.7\n0 10.0 1 0 0 0 0\n100\n"


def sparse(path, head, size=2 << 30):
    with open(path, "wb") as stream:
        stream.write(head)
        stream.truncate(size)
    return path


def written(path, text):
    path.write_text(text)
    return path


def fifo(path):
    os.mkfifo(path)
    return path


HOSTILE_FILES = {
    "zeros": (lambda d: sparse(d / "zeros.srf", b""), r"starts with '\\x00.*', not a version"),
    "header then zeros": (lambda d: sparse(d / "header.srf", b"2.0\nPOINTS 1\n"),
                          r"line 3: is longer than 1 MiB"),
    "comment then zeros": (lambda d: sparse(d / "comment.srf", b"2.0\n# "), r"line 2: is longer than 1 MiB"),
    "device": (lambda d: Path("/dev/zero"), r"is not a regular file"),
    "directory": (lambda d: d, r"cannot be read \(Is a directory\)"),
    "pipe": (lambda d: fifo(d / "pipe.srf"), r"is not a regular file"),
    "10^12 points": (lambda d: written(d / "many.srf", "2.0\nPOINTS 1000000000000\n" + POINT * 3),
                     r"line 2: POINTS 1000000000000 declares more points than its 54 values hold"),
    "10^9 samples": (lambda d: written(d / "long.srf", "2.0\nPOINTS 3\n" + POINT * 2
                                       + POINT.replace(" 1 0 0 0 0\n", " 1000000000 0 0 0 0\n")),
                     r"line 9: point 3 of POINTS block 1 declares 1,000,000,000 slip-rate samples"),
}


@pytest.fixture(scope="module")
def limited_inspections(tmp_path_factory):
    directory = tmp_path_factory.mktemp("hostile")
    paths = {name: make(directory) for name, (make, _) in HOSTILE_FILES.items()}
    child = subprocess.run([sys.executable, "-c", LIMITED_INSPECT, *map(str, paths.values())],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    return paths, dict(zip(paths, json.loads(child.stdout)))


@pytest.mark.parametrize("name", HOSTILE_FILES)
def test_inspect_refuses_a_damaged_or_huge_file_in_bounded_memory(name, limited_inspections):
    paths, results = limited_inspections
    status, out, err = results[name]
    assert status == 2 and out == "", err
    line, = err.splitlines()
    assert re.match(f"kinematic-rupture inspect: {re.escape(str(paths[name]))}: "
                    f"{HOSTILE_FILES[name][1]}", line), line
