"""The rupture ensemble of examples/ensemble.py on a LocalCluster of 2 workers, against the
same variations built one after another in this process."""

import csv
import os
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")
from dask.distributed import Client  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import ensemble  # noqa: E402
import rupture_recipe  # noqa: E402

FAULT = rupture_recipe.Fault(length_km=8.0, width_km=4.0, cell_km=0.2)
BASE = rupture_recipe.RuptureSettings(magnitude=5.8)
SEEDS = range(41, 45)


@pytest.fixture(scope="module")
def client():
    with ensemble.local_cluster(2) as cluster, Client(cluster) as client:
        yield client


def serial_run(output, form):
    output.mkdir()
    return [ensemble.build_variation(seed, FAULT, BASE, str(output), form) for seed in SEEDS]


def read_summary(path):
    with open(path, newline="") as summary:
        return list(csv.DictReader(summary))


def assert_same_arrays(path, other):
    with np.load(path) as first, np.load(other) as second:
        assert sorted(first.files) == sorted(second.files)
        for name in first.files:
            a, b = first[name], second[name]
            assert (a.dtype, a.shape) == (b.dtype, b.shape), name
            assert a.tobytes() == b.tobytes(), name


@pytest.mark.parametrize("form", ["srf", "npz"])
def test_cluster_run_equals_a_serial_run_bit_for_bit(client, tmp_path, form):
    rows, seconds = ensemble.run_ensemble(client, FAULT, BASE, SEEDS, tmp_path / "cluster", form,
                                          show_progress=False)
    serial = serial_run(tmp_path / "serial", form)

    assert seconds > 0
    assert rows == serial
    files = {row["file"] for row in serial}
    assert files == {f"rupture-{seed}.{form}" for seed in SEEDS}
    assert {path.name for path in (tmp_path / "cluster").iterdir()} == files | {"summary.csv"}
    for name in files:
        cluster_file, serial_file = tmp_path / "cluster" / name, tmp_path / "serial" / name
        if form == "srf":
            assert cluster_file.read_bytes() == serial_file.read_bytes(), name
        else:
            assert_same_arrays(cluster_file, serial_file)


def test_summary_lists_every_seed_in_order_with_values_that_read_back_exactly(client, tmp_path):
    rows, _ = ensemble.run_ensemble(client, FAULT, BASE, reversed(SEEDS), tmp_path, "npz",
                                    show_progress=False)
    summary = read_summary(tmp_path / "summary.csv")

    assert [int(entry["seed"]) for entry in summary] == list(SEEDS)
    for entry, row in zip(summary, rows):
        assert entry["file"] == row["file"]
        for field in ensemble.SUMMARY_FIELDS[1:-1]:
            assert float(entry[field]) == row[field], field


def test_each_seed_has_its_own_hypocentre_and_slip(tmp_path):
    rows = serial_run(tmp_path / "serial", "npz")

    hypocentres = [(row["hypocentre_along_km"], row["hypocentre_down_km"]) for row in rows]
    assert hypocentres == [rupture_recipe.draw_hypocentre(FAULT, seed) for seed in SEEDS]
    assert len(set(hypocentres)) == len(SEEDS)
    slips = [np.load(tmp_path / "serial" / row["file"])["slip_m"] for row in rows]
    assert not any(np.array_equal(slips[0], slip) for slip in slips[1:])


def test_local_workers_share_the_cores_among_their_pools(client):
    threads = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert list(threads.values()) == [str(max(1, os.cpu_count() // 2))] * 2


def test_command_line_writes_the_files_and_reports_the_throughput(tmp_path, capsys):
    output = tmp_path / "cli"
    rate = ensemble.main(["2", "--first-seed", "43", "--workers", "1", "--format", "npz",
                          "--output", str(output), "--magnitude", "5.8", "--length-km", "8",
                          "--width-km", "4", "--cell-km", "0.2"])

    assert rate > 0
    assert f"{rate:.2f} ruptures per second" in capsys.readouterr().out
    assert sorted(path.name for path in output.iterdir()) == [
        "rupture-43.npz", "rupture-44.npz", "summary.csv"]
    serial_run(tmp_path / "serial", "npz")
    for name in ("rupture-43.npz", "rupture-44.npz"):
        assert_same_arrays(output / name, tmp_path / "serial" / name)


@pytest.mark.parametrize("arguments, message", [
    (["0"], "a count of 0 variations builds nothing"),
    (["2", "--length-km", "8.05", "--cell-km", "0.2"],
     "a fault length of 8.05 km is not a whole number of 0.2 km cells"),
])
def test_command_line_refuses_what_builds_nothing_before_starting_a_cluster(arguments, message,
                                                                          capsys):
    with pytest.raises(SystemExit) as stopped:
        ensemble.main(arguments)
    assert stopped.value.code == 2
    assert capsys.readouterr().err.rstrip().endswith(f"error: {message}")
