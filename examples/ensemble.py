"""Rupture variations of one fault, each from its own seed, as tasks on a Dask cluster.

    pip install .[examples]
    python examples/ensemble.py 16                       # a LocalCluster on this machine
    python examples/ensemble.py 1000 --scheduler tcp://head:8786 --output /shared/run-1

Variation k takes the seed FIRST_SEED + k and a hypocentre drawn from that seed, so a seed
names one rupture, bit for bit, whatever the number of workers and in whatever order they
finish. Each task builds its rupture with the shared recipe (rupture_recipe.py) and writes
it, where it runs, as OUTPUT/rupture-SEED.srf (or .npz with --format npz); on a cluster of
several machines OUTPUT must be a directory they all share. Only a summary row travels
back; the client writes OUTPUT/summary.csv (seed, hypocentre, Mw, duration, peak moment
rate) in seed order and prints the throughput in ruptures per second.

Without --scheduler the script starts a LocalCluster of worker processes, one task at a
time each, and sizes every worker's kernel pool to its share of the cores through
RAYON_NUM_THREADS. Workers of an existing cluster need the kernels module installed and
should be started the same way, for instance `RAYON_NUM_THREADS=8 dask worker ADDRESS
--nthreads 1` on an 8-core machine; the script sends them the recipe and this file.
"""

import argparse
import contextlib
import csv
import dataclasses
import os
import time
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from dask.distributed import Client, LocalCluster, progress

import rupture_recipe
from rupture_recipe import Fault, Rupture, RuptureSettings

# One variation's line of the summary: SUMMARY_FIELDS, keyed by name.
Row = dict[str, Any]

SUMMARY_FIELDS = ("seed", "hypocentre_along_km", "hypocentre_down_km", "mw", "duration_s",
                  "peak_moment_rate_nm_s", "file")


def variation_settings(fault: Fault, base: RuptureSettings, seed: int) -> RuptureSettings:
    """The base settings with this variation's seed and the hypocentre drawn from it."""
    return dataclasses.replace(base, seed=seed,
                               hypocentre_km=rupture_recipe.draw_hypocentre(fault, seed))


def write_npz(path: Path, rupture: Rupture) -> None:
    """Every field of the rupture but its kernel timings, which differ from run to run."""
    fields = (field.name for field in dataclasses.fields(rupture) if field.name != "timings_s")
    np.savez_compressed(path, **{name: getattr(rupture, name) for name in fields})


def build_variation(seed: int, fault: Fault, base: RuptureSettings, output: str,
                    form: str) -> Row:
    """One task: builds and writes the rupture of `seed`, returns its summary row."""
    settings = variation_settings(fault, base, seed)
    rupture = rupture_recipe.build_rupture(fault, settings)
    path = Path(output) / f"rupture-{seed}.{form}"
    if form == "srf":
        rupture_recipe.write_srf(path, fault, rupture)
    else:
        write_npz(path, rupture)
    along, down = rupture.hypocentre_km
    return {"seed": seed, "hypocentre_along_km": along, "hypocentre_down_km": down,
            "mw": rupture.mw, "duration_s": rupture.duration_s,
            "peak_moment_rate_nm_s": float(np.max(rupture.moment_rate_nm_s)),
            "file": path.name}


def write_summary(path: Path, rows: list[Row]) -> None:
    with open(path, "w", newline="") as summary:
        writer = csv.DictWriter(summary, SUMMARY_FIELDS)
        writer.writeheader()
        writer.writerows(rows)


def pool_share(workers: int) -> int:
    """Kernel threads per worker when `workers` share this machine's cores."""
    return max(1, (os.cpu_count() or 1) // workers)


def local_cluster(workers: int) -> LocalCluster:
    """Worker processes on this machine, each running one task on its share of the cores."""
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        env={"RAYON_NUM_THREADS": str(pool_share(workers))},
                        dashboard_address=None)


def run_ensemble(client: Client, fault: Fault, base: RuptureSettings, seeds: Iterable[int],
                 output: str | os.PathLike[str], form: str = "srf",
                 show_progress: bool = True) -> tuple[list[Row], float]:
    """Builds every seed's rupture on the client's cluster; returns the summary rows (in
    seed order) and the seconds from submitting the first task to the last result."""
    output = Path(output)
    output.mkdir(parents=True, exist_ok=True)
    for module in (rupture_recipe.__file__, __file__):
        client.upload_file(module)
    start = time.perf_counter()
    futures = client.map(build_variation, list(seeds), fault=fault, base=base,
                         output=str(output.resolve()), form=form)
    if show_progress:
        progress(futures)
    rows = sorted(client.gather(futures), key=lambda row: row["seed"])
    seconds = time.perf_counter() - start
    write_summary(output / "summary.csv", rows)
    return rows, seconds


def command_line() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int, nargs="?", default=16,
                        help="number of variations (default %(default)s)")
    parser.add_argument("--first-seed", type=int, default=1, help="seed of the first variation")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the existing cluster of this scheduler")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--output", type=Path, default=Path("ensemble"),
                        help="directory for the rupture files and summary.csv")
    parser.add_argument("--format", choices=("srf", "npz"), default="srf",
                        help="one SRF 2.0 file or one compressed NumPy file per variation")
    parser.add_argument("--magnitude", type=float, default=RuptureSettings.magnitude)
    parser.add_argument("--length-km", type=float, default=Fault.length_km)
    parser.add_argument("--width-km", type=float, default=Fault.width_km)
    parser.add_argument("--cell-km", type=float, default=Fault.cell_km)
    return parser


def main(argv: Sequence[str] | None = None) -> float:
    parser = command_line()
    options = parser.parse_args(argv)
    if options.count < 1:
        parser.error(f"a count of {options.count} variations builds nothing")
    try:
        fault = Fault(length_km=options.length_km, width_km=options.width_km,
                      cell_km=options.cell_km)
    except ValueError as refusal:
        parser.error(str(refusal))
    base = RuptureSettings(magnitude=options.magnitude)
    seeds = range(options.first_seed, options.first_seed + options.count)

    cluster = contextlib.nullcontext() if options.scheduler else local_cluster(options.workers)
    with cluster, Client(options.scheduler or cluster) as client:
        workers = len(client.scheduler_info()["workers"])
        rows, seconds = run_ensemble(client, fault, base, seeds, options.output, options.format)

    print(f"{len(rows)} ruptures of a {fault.length_km:g} km x {fault.width_km:g} km fault at "
          f"{fault.cell_km:g} km cells, Mw {min(row['mw'] for row in rows):.2f} to "
          f"{max(row['mw'] for row in rows):.2f}, written to {options.output}")
    print(f"{seconds:.1f} s on {workers} workers: {len(rows) / seconds:.2f} ruptures per second")
    return len(rows) / seconds


if __name__ == "__main__":
    main()
