"""The ensemble on Dask: the same bytes whatever the cluster, a summary that reads back,
one run per directory (resumed or replaced only when asked), refusals in one line, a
scheduler that does not answer, a worker killed and the command ended mid-run."""

import csv
import hashlib
import json
import os
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from conftest import run_process, snapshot
from dask.distributed import Client
from kinematic_rupture import Fault, RuptureSettings, ensemble
from kinematic_rupture.srf import read_srf

# A fault that builds in a fraction of a second; the command's options and the library's
# fault and settings are the same one.
SMALL_FAULT = ["--length-km", "8", "--width-km", "4", "--cell-km", "0.2", "--magnitude", "5.8"]
FAULT = Fault.single(length_km=8.0, width_km=4.0, cell_km=0.2)
SETTINGS = RuptureSettings(magnitude=5.8)
SEEDS = range(1, 13)
# Seeds of the command's first run, which later tests resume, refuse or replace.
FIRST_RUN = range(1, 7)
# The bound on a scheduler that does not answer, with the command's start-up in it.
# Long enough for three interpreters starting at once on a loaded machine to import Dask
# and wait out the command's own 15 s; a command that hangs never ends.
SCHEDULER_BOUND_S = 120


def ensemble_command(*arguments, **keywords):
    return run_process(["ensemble", *arguments], **keywords)


def one_line(stderr: str) -> str:
    lines = stderr.splitlines()
    assert len(lines) == 1, stderr
    return lines[0]


def temporaries(directory: Path) -> list[str]:
    return sorted(path.name for path in directory.iterdir() if path.name.endswith(".part"))


def rupture_seeds(directory: Path, suffix: str) -> set[int]:
    return {int(path.name.split("-")[1].split(".")[0]) for path in directory.glob(f"rupture-*.{suffix}")}


def summary_seeds(directory: Path) -> list[int]:
    with open(directory / ensemble.SUMMARY, newline="") as stream:
        return [int(row["seed"]) for row in csv.DictReader(stream)]


def assert_complete(directory: Path) -> None:
    """No temporary file, and every rupture file under its final name whole and paired."""
    assert temporaries(directory) == []
    assert rupture_seeds(directory, "srf") == rupture_seeds(directory, "json")
    for path in directory.glob("rupture-*.srf"):
        read_srf(path)
        json.loads(path.with_suffix(".json").read_text())


def assert_same_ruptures(directory: Path, reference: Path, form: str, seeds) -> None:
    for seed in seeds:
        sidecar = f"rupture-{seed}.json"
        assert (directory / sidecar).read_bytes() == (reference / sidecar).read_bytes(), sidecar
        name = f"rupture-{seed}.{form}"
        if form == "srf":
            assert (directory / name).read_bytes() == (reference / name).read_bytes(), name
        else:
            with np.load(directory / name) as ours, np.load(reference / name) as theirs:
                assert sorted(ours.files) == sorted(theirs.files)
                for key in ours.files:
                    np.testing.assert_array_equal(ours[key], theirs[key], err_msg=f"{name}: {key}")


# glibc's memory settings of this process before the module's cluster starts.
MALLOC_SETTINGS = ("MALLOC_TRIM_THRESHOLD_", "MALLOC_MMAP_THRESHOLD_")
MALLOC_SETTINGS_BEFORE = {name: os.environ.get(name) for name in MALLOC_SETTINGS}


# ---- Fixtures ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def client():
    with ensemble.local_cluster(2) as cluster, Client(cluster, set_as_default=False) as client:
        yield client


@pytest.fixture
def cluster(client):
    """The module's client, with both workers up (one may have been killed before)."""
    client.wait_for_workers(2, timeout=60)
    return client


@pytest.fixture(scope="module")
def serial(tmp_path_factory):
    """Every seed of SEEDS built one after the other in this process, in each format:
    (directory, summary rows)."""
    built = {}
    for form in ("srf", "npz"):
        directory = tmp_path_factory.mktemp(f"serial-{form}")
        run = ensemble.plan(FAULT, SETTINGS, form)
        rows = [ensemble.build_variation(seed, run, str(directory)) for seed in SEEDS]
        built[form] = (directory, rows)
    return built


@pytest.fixture(scope="module")
def first_run(tmp_path_factory):
    """The command's run of FIRST_RUN on two local workers, to be copied and changed."""
    directory = tmp_path_factory.mktemp("first") / "run"
    done = ensemble_command(len(FIRST_RUN), "--output", directory, "--workers", 2, *SMALL_FAULT)
    assert done.returncode == 0, done.stderr
    return directory


@pytest.fixture
def earlier(first_run, tmp_path):
    directory = tmp_path / "run"
    shutil.copytree(first_run, directory)
    return directory


# ---- On a cluster in this process -------------------------------------------------------------


@pytest.mark.parametrize("in_flight", [ensemble.MAX_IN_FLIGHT, 3])
@pytest.mark.parametrize("form", ["srf", "npz"])
def test_a_cluster_run_equals_a_serial_run_bit_for_bit(cluster, serial, tmp_path, monkeypatch,
                                                       form, in_flight):
    # Workers of one kernel thread each against this process's pool of every core, and
    # tasks submitted all at once or a few at a time.
    monkeypatch.setattr(ensemble, "MAX_IN_FLIGHT", in_flight)
    reference, reference_rows = serial[form]
    rows, _, built = ensemble.run_ensemble(cluster, ensemble.plan(FAULT, SETTINGS, form), SEEDS,
                                           tmp_path)
    assert built == len(SEEDS)
    assert rows == reference_rows
    assert_same_ruptures(tmp_path, reference, form, SEEDS)
    names = {path.name for path in tmp_path.iterdir()}
    assert names == {name for name in os.listdir(reference)} | {ensemble.MANIFEST, ensemble.SUMMARY}


def test_a_run_without_a_cluster_builds_in_this_process_the_same_bytes(serial, tmp_path):
    reference, reference_rows = serial["srf"]
    seeds = SEEDS[:4]
    rows, _, built = ensemble.run_ensemble(None, ensemble.plan(FAULT, SETTINGS), seeds, tmp_path)
    assert built == len(seeds) and rows == reference_rows[:len(seeds)]
    assert_same_ruptures(tmp_path, reference, "srf", seeds)


def test_local_workers_keep_glibcs_adaptive_memory_thresholds(cluster):
    """Dask would start them with MALLOC_TRIM_THRESHOLD_ set (and set it in this process
    too), which makes every large array of a rupture a fresh mapping; what they get is
    what this process had before any cluster started."""
    there = cluster.run(lambda: {name: os.environ.get(name) for name in MALLOC_SETTINGS})
    assert list(there.values()) == [MALLOC_SETTINGS_BEFORE] * 2


def test_summary_rows_come_in_seed_order_and_read_back_exactly(cluster, serial, tmp_path):
    _, reference_rows = serial["srf"]
    rows, _, _ = ensemble.run_ensemble(cluster, ensemble.plan(FAULT, SETTINGS), SEEDS[::-1],
                                       tmp_path)
    with open(tmp_path / ensemble.SUMMARY, newline="") as stream:
        reader = csv.DictReader(stream)
        assert tuple(reader.fieldnames or ()) == ensemble.SUMMARY_FIELDS
        read = [{name: (int(value) if name == "seed" else value if name == "file" else float(value))
                 for name, value in row.items()} for row in reader]
    assert read == rows == reference_rows
    assert [row["seed"] for row in read] == list(SEEDS)


def test_a_worker_killed_mid_run_loses_nothing(cluster, serial, tmp_path):
    reference, reference_rows = serial["srf"]
    pids = cluster.run(os.getpid)
    outcome = {}

    def run():
        try:
            outcome["rows"] = ensemble.run_ensemble(cluster, ensemble.plan(FAULT, SETTINGS), SEEDS,
                                                    tmp_path)[0]
        except BaseException as failure:
            outcome["failure"] = failure

    running = threading.Thread(target=run)
    running.start()
    while not list(tmp_path.glob("rupture-*.json")) and running.is_alive():
        time.sleep(0.005)
    done_when_killed = len(list(tmp_path.glob("rupture-*.json")))
    victim = next(iter(pids.values()))
    os.kill(victim, signal.SIGKILL)
    running.join(timeout=120)
    assert not running.is_alive()
    assert "failure" not in outcome, outcome.get("failure")
    assert 0 < done_when_killed < len(SEEDS)
    assert victim not in cluster.run(os.getpid).values()
    assert outcome["rows"] == reference_rows
    assert summary_seeds(tmp_path) == list(SEEDS)
    assert_complete(tmp_path)
    assert_same_ruptures(tmp_path, reference, "srf", SEEDS)


# ---- The command: one run per directory -------------------------------------------------------


@pytest.mark.parametrize("again, reason", [
    ([], "--resume completes it"),
    (["--length-km", "6"], "--resume completes it"),  # another fault beside the first
    (["--resume", "--length-km", "6"], "other settings"),
    (["--resume", "--magnitude", "5.9"], "other settings"),
    (["--resume", "--format", "npz"], "other settings"),
])
def test_a_directory_of_another_run_is_refused_untouched(earlier, again, reason):
    before = snapshot(earlier)
    refused = ensemble_command(len(FIRST_RUN), "--output", earlier, "--workers", 2, *SMALL_FAULT,
                               *again, timeout=120)
    assert refused.returncode == 2
    line = one_line(refused.stderr)
    assert line.startswith(f"kinematic-rupture ensemble: --output {earlier}:") and reason in line
    assert snapshot(earlier) == before


def test_resume_rebuilds_only_what_is_missing(earlier, serial):
    reference, _ = serial["srf"]
    (earlier / "rupture-2.srf").unlink()
    (earlier / "rupture-5.json").unlink()
    (earlier / "rupture-6.srf").unlink()
    (earlier / "rupture-6.json").unlink()
    (earlier / ".rupture-3.srf.0badf00d.part").write_text("cut short")
    kept = {seed: os.stat(earlier / f"rupture-{seed}.srf").st_ino for seed in (1, 3, 4)}
    resumed = ensemble_command(8, "--output", earlier, "--workers", 2, *SMALL_FAULT, "--resume",
                               timeout=120)
    assert resumed.returncode == 0, resumed.stderr
    assert "built 5 in" in resumed.stdout  # 2, 5, 6 again and 7, 8 new
    assert {seed: os.stat(earlier / f"rupture-{seed}.srf").st_ino for seed in kept} == kept
    assert summary_seeds(earlier) == list(range(1, 9))
    assert_complete(earlier)
    assert_same_ruptures(earlier, reference, "srf", range(1, 9))


def test_resume_rebuilds_the_seeds_whose_files_are_damaged(earlier, serial):
    """Each seed damaged in its own way; seed 6 is intact and kept as it is."""
    reference, _ = serial["srf"]
    srf_text = (earlier / "rupture-1.srf").read_bytes()
    (earlier / "rupture-1.srf").write_bytes(srf_text[:len(srf_text) // 2])  # cut short
    (earlier / "rupture-2.srf").write_bytes(b"")  # emptied
    (earlier / "rupture-3.json").write_text('{"summary": ')  # a sidecar cut short
    sidecar = json.loads((earlier / "rupture-4.json").read_text())
    sidecar["settings"]["rupture"]["magnitude"] = 5.9  # a sidecar of other settings
    (earlier / "rupture-4.json").write_text(json.dumps(sidecar))
    shutil.copy(earlier / "rupture-6.srf", earlier / "rupture-5.srf")  # another seed's rupture
    kept = os.stat(earlier / "rupture-6.srf").st_ino
    resumed = ensemble_command(6, "--output", earlier, "--workers", 2, *SMALL_FAULT, "--resume",
                               timeout=120)
    assert resumed.returncode == 0, resumed.stderr
    assert ("resuming: 1 seed complete; 5 whose files were damaged or not this run's to be built "
            "again") in resumed.stdout
    assert "built 5 in" in resumed.stdout
    assert os.stat(earlier / "rupture-6.srf").st_ino == kept
    assert summary_seeds(earlier) == list(range(1, 7))
    assert_complete(earlier)
    assert_same_ruptures(earlier, reference, "srf", range(1, 7))
    again = ensemble_command(6, "--output", earlier, "--workers", 2, *SMALL_FAULT, "--resume",
                             timeout=120)
    assert again.returncode == 0 and "resuming: 6 seeds complete; 0 whose" in again.stdout


def test_every_rupture_file_is_recorded_in_its_sidecar(serial):
    for form in ("srf", "npz"):
        directory, _ = serial[form]
        for seed in SEEDS:
            record = json.loads((directory / f"rupture-{seed}.json").read_text())["file"]
            path = directory / f"rupture-{seed}.{form}"
            assert record["name"] == path.name and record["bytes"] == path.stat().st_size
            assert record["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest()


def test_overwrite_replaces_the_earlier_run(earlier):
    replaced = ensemble_command(3, "--output", earlier, "--workers", 2, *SMALL_FAULT,
                                "--length-km", "6", "--format", "npz", "--overwrite", timeout=120)
    assert replaced.returncode == 0, replaced.stderr
    names = {path.name for path in earlier.iterdir()}
    assert names == {ensemble.MANIFEST, ensemble.SUMMARY,
                     *(f"rupture-{seed}.{suffix}" for seed in (1, 2, 3) for suffix in ("npz", "json"))}
    manifest = json.loads((earlier / ensemble.MANIFEST).read_text())
    assert manifest["settings"]["fault"]["planes"][0]["length_km"] == 6.0
    for seed in (1, 2, 3):
        sidecar = json.loads((earlier / f"rupture-{seed}.json").read_text())
        assert sidecar["settings"]["fault"]["planes"][0]["length_km"] == 6.0
    assert summary_seeds(earlier) == [1, 2, 3]


# ---- The command: refusals and failures in one line -------------------------------------------


@pytest.mark.parametrize("arguments, start", [
    (["4", "--workers", "0"], "--workers 0: a number of workers must be a whole number from 1"),
    (["4", "--workers", "-1"], "--workers -1: a number of workers must be a whole number from 1"),
    (["4", "--workers", "two"], "--workers two: a number of workers must be a whole number"),
    (["0"], "count 0: a count of variations must be a whole number from 1"),
    (["-3"], "count -3: a count of variations must be a whole number from 1"),
    (["4", "--first-seed", "-1"], "--first-seed -1: a seed must be a whole number from 0"),
    (["4", "--first-seed", "1.5"], "--first-seed 1.5: a seed must be a whole number from 0"),
    (["4", "--first-seed", str(2**64)], f"--first-seed {2**64}: a seed must be a whole number"),
    (["4", "--first-seed", str(2**64 - 2)], "count 4: the last seed would pass 2^64 - 1"),
    # More workers than any machine has memory for, building at once.
    (["5000", "--workers", "4096"], "--workers 4096: 4096 workers building at once need"),
])
def test_bad_values_are_refused_in_one_line_writing_nothing(tmp_path, arguments, start):
    refused = ensemble_command(*arguments, "--output", tmp_path / "run", *SMALL_FAULT, timeout=120)
    assert refused.returncode == 2
    assert one_line(refused.stderr).startswith(f"kinematic-rupture ensemble: {start}")
    assert refused.stdout == ""
    assert list(tmp_path.iterdir()) == []


def test_a_scheduler_and_local_workers_together_are_refused(tmp_path):
    refused = ensemble_command("4", "--output", tmp_path / "run", "--workers", "2",
                               "--scheduler", "tcp://127.0.0.1:8786", *SMALL_FAULT, timeout=120)
    assert refused.returncode == 2
    assert "--scheduler" in one_line(refused.stderr) and "--workers" in refused.stderr
    assert list(tmp_path.iterdir()) == []


class Silent(socketserver.BaseRequestHandler):
    """Takes the connection and says nothing until the server stops."""

    def handle(self):
        self.server.stopping.wait()  # type: ignore[attr-defined]


class Garbage(socketserver.BaseRequestHandler):
    """Answers as some other kind of server would, and hangs up."""

    def handle(self):
        self.request.sendall(b"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n")


@pytest.fixture
def not_schedulers():
    """Addresses where no Dask scheduler answers: a server that accepts and never answers,
    one that answers something else, and a port where nothing listens."""
    servers = []
    for handler in (Silent, Garbage):
        server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), handler)
        server.daemon_threads = True
        server.stopping = threading.Event()  # type: ignore[attr-defined]
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append(server)
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
    ports = [server.server_address[1] for server in servers] + [closed.getsockname()[1]]
    addresses = [f"tcp://127.0.0.1:{port}" for port in ports]
    yield dict(zip(("silent", "garbage", "nothing listens"), addresses))
    closed.close()
    for server in servers:
        server.stopping.set()  # type: ignore[attr-defined]
        server.shutdown()
        server.server_close()


def test_a_scheduler_that_does_not_answer_fails_in_one_line(not_schedulers, tmp_path):
    # All at once, each bounded by its own timeout: the command used to hang on the silent
    # server, and to print a long traceback where nothing listens.
    commands = {
        case: subprocess.Popen([sys.executable, "-m", "kinematic_rupture", "ensemble", "4",
                                "--output", str(tmp_path / case), "--scheduler", address,
                                *SMALL_FAULT], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
        for case, address in not_schedulers.items()}
    try:
        for case, command in commands.items():
            _, stderr = command.communicate(timeout=SCHEDULER_BOUND_S)
            assert command.returncode not in (0, None), case
            line = one_line(stderr)
            assert line.startswith(f"kinematic-rupture ensemble: --scheduler {not_schedulers[case]}: "
                                   "no Dask scheduler answered"), case
    finally:
        for command in commands.values():
            command.kill()
            command.wait()
    assert list(tmp_path.iterdir()) == []


# ---- The command ended mid-run ----------------------------------------------------------------


def test_sigterm_mid_run_leaves_only_complete_files(tmp_path, serial):
    output = tmp_path / "run"
    count = 40
    command = subprocess.Popen([sys.executable, "-m", "kinematic_rupture", "ensemble", str(count),
                                "--output", str(output), "--workers", "2", *SMALL_FAULT],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        while len(list(output.glob("rupture-*.json"))) < 2 and command.poll() is None:
            time.sleep(0.01)
        command.send_signal(signal.SIGTERM)
        _, stderr = command.communicate(timeout=120)
    finally:
        command.kill()
    assert command.returncode == 143
    assert "SIGTERM" in one_line(stderr)
    assert_complete(output)
    left = snapshot(output)
    assert 2 <= len(rupture_seeds(output, "srf")) < count
    time.sleep(2)  # no worker outlives the command to write after it
    assert snapshot(output) == left

    resumed = ensemble_command(count, "--output", output, "--workers", 2, *SMALL_FAULT, "--resume",
                               timeout=120)
    assert resumed.returncode == 0, resumed.stderr
    assert summary_seeds(output) == list(range(1, count + 1))
    assert_complete(output)
    reference, _ = serial["srf"]
    assert_same_ruptures(output, reference, "srf", SEEDS)
