"""Rupture variations of one fault, each from its own seed, as tasks on a Dask cluster.

Variation k takes the seed FIRST_SEED + k and a hypocentre drawn from that seed, so a
seed names one rupture, bit for bit, whatever the number of workers and in whatever
order they finish. Each task builds its rupture and writes, where it runs, OUTPUT/rupture-SEED.srf
(or .npz) and its sidecar OUTPUT/rupture-SEED.json, the sidecar last; a seed whose
sidecar exists is complete. Only a summary row travels back; the client writes
OUTPUT/summary.csv (seed, hypocentre, Mw, duration, peak moment rate) in seed order.

OUTPUT belongs to one run: OUTPUT/ensemble.json records its fault, settings and format.
A directory that holds another run's files is refused, unless `--resume` (which skips
the seeds already complete, provided the settings are the same, and rebuilds the summary
from every complete seed's sidecar) or `--overwrite` (which removes the earlier run's
files first). A worker that dies loses nothing: its task runs again elsewhere, and a
file is complete or absent.

Without --scheduler the command starts a LocalCluster of worker processes, one task at a
time each, and sizes every worker's kernel pool to its share of the cores through
RAYON_NUM_THREADS. Workers of an existing cluster need this package installed, and
should be started the same way, for instance `RAYON_NUM_THREADS=8 dask worker ADDRESS
--nthreads 1` on an 8-core machine.
"""

import argparse
import csv
import dataclasses
import io
import json
import os
import re
import sys
import time
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import numpy as np

from . import __version__, memory, options, scaling, sidecar, srf
from .checks import SettingError, whole
from .files import FileSet, is_temporary
from .geometry import Fault
from .hypocentre import draw_hypocentre
from .rupture import Rupture, RuptureSettings, build_rupture, build_warnings

DESCRIPTION = __doc__.split("\n\n")[0].replace("\n", " ")
MANIFEST = "ensemble.json"
SUMMARY = "summary.csv"
MANIFEST_FORMAT = "kinematic-rupture ensemble"
SUMMARY_FIELDS = ("seed", "hypocentre_along_km", "hypocentre_down_km", "mw", "duration_s",
                  "peak_moment_rate_nm_s", "file")
RUPTURE_FILE = re.compile(r"rupture-(\d+)\.(srf|npz|json)")
# How long a scheduler has to answer as one before the command gives up on it.
CONNECT_TIMEOUT_S = 20

# One variation's line of the summary: SUMMARY_FIELDS, keyed by name.
Row = dict[str, Any]


@dataclasses.dataclass(frozen=True)
class Plan:
    """What every variation of a run shares: the fault, the settings but for the seed and
    the hypocentre, and how the ruptures are written."""

    fault: Fault
    base: RuptureSettings
    form: str = "srf"
    srf_version: str = "2.0"

    def manifest(self) -> dict[str, Any]:
        return {"format": MANIFEST_FORMAT, "kinematic_rupture": __version__,
                "settings": sidecar.settings_document(self.fault, self.base),
                "output": self.form, "srf_version": self.srf_version}


def plan(fault: Fault, base: RuptureSettings, form: str = "srf", srf_version: str = "2.0") -> Plan:
    """A run's plan; the base settings' seed and hypocentre do not matter and are cleared."""
    if form not in ("srf", "npz"):
        raise SettingError("format", form, "must be srf or npz")
    if srf_version not in srf.VERSIONS:
        raise SettingError("srf_version", srf_version, "must be 1.0 or 2.0")
    return Plan(fault, dataclasses.replace(base, seed=0, hypocentre_km=None), form, srf_version)


def variation_settings(fault: Fault, base: RuptureSettings, seed: int) -> RuptureSettings:
    """The base settings with this variation's seed and the hypocentre drawn from it."""
    return dataclasses.replace(base, seed=seed, hypocentre_km=draw_hypocentre(fault, seed))


def npz_bytes(rupture: Rupture) -> dict[str, Any]:
    """Every array and number of the rupture but its kernel timings, which differ from run
    to run, and its fault and settings, which are in the sidecar."""
    skip = {"timings_s", "fault", "settings"}
    return {item.name: getattr(rupture, item.name) for item in dataclasses.fields(rupture)
            if item.name not in skip}


def summary_row(rupture: Rupture, name: str) -> Row:
    along, down = rupture.hypocentre_km
    return {"seed": rupture.settings.seed, "hypocentre_along_km": along,
            "hypocentre_down_km": down, "mw": rupture.mw, "duration_s": rupture.duration_s,
            "peak_moment_rate_nm_s": float(np.max(rupture.moment_rate_nm_s)), "file": name}


def build_variation(seed: int, run: Plan, output: str) -> Row:
    """One task: builds and writes the rupture of `seed`, returns its summary row."""
    rupture = build_rupture(run.fault, variation_settings(run.fault, run.base, seed))
    directory = Path(output)
    name = f"rupture-{seed}.{run.form}"
    with FileSet() as files:
        if run.form == "srf":
            with files.open(directory / name, "w") as stream:
                srf.write_srf(stream, rupture, run.srf_version, sidecar.provenance(rupture))
        else:
            files.write_with(directory / name,
                             lambda out: np.savez_compressed(out, **npz_bytes(rupture)))
        with files.open(directory / f"rupture-{seed}.json", "w") as stream:
            stream.write(sidecar.sidecar_text(rupture, run.srf_version))
        files.commit()
    return summary_row(rupture, name)


def row_from_sidecar(path: Path, form: str) -> Row:
    summary = json.loads(path.read_text())["summary"]
    seed = int(RUPTURE_FILE.fullmatch(path.name).group(1))  # type: ignore[union-attr]
    along, down = summary["hypocentre_km"]
    return {"seed": seed, "hypocentre_along_km": along, "hypocentre_down_km": down,
            "mw": summary["mw"], "duration_s": summary["duration_s"],
            "peak_moment_rate_nm_s": summary["peak_moment_rate_nm_s"],
            "file": f"rupture-{seed}.{form}"}


def complete_seeds(output: Path, form: str) -> set[int]:
    """Seeds whose rupture file and sidecar are both in place."""
    seeds = set()
    for path in output.glob("rupture-*.json"):
        match = RUPTURE_FILE.fullmatch(path.name)
        if match and (output / f"rupture-{match.group(1)}.{form}").is_file():
            seeds.add(int(match.group(1)))
    return seeds


def run_files(output: Path) -> list[Path]:
    """The files of a run in `output`: ruptures, sidecars, summary, manifest, and the
    temporary files of writes that did not finish."""
    return [path for path in output.iterdir()
            if RUPTURE_FILE.fullmatch(path.name) or path.name in (MANIFEST, SUMMARY)
            or (is_temporary(path) and RUPTURE_FILE.fullmatch(path.name[1:].rsplit(".", 2)[0])
                or is_temporary(path) and path.name[1:].rsplit(".", 2)[0] in (MANIFEST, SUMMARY))]


def remove_temporaries(output: Path) -> None:
    for path in run_files(output):
        if is_temporary(path):
            path.unlink(missing_ok=True)


def prepare_output(output: Path, run: Plan, resume: bool, overwrite: bool) -> set[int]:
    """Makes `output` this run's directory; returns the seeds already complete in it."""
    output.mkdir(parents=True, exist_ok=True)
    earlier = [path for path in run_files(output) if not is_temporary(path)]
    manifest_path = output / MANIFEST
    if earlier and overwrite:
        for path in earlier:
            path.unlink()
        earlier = []
    remove_temporaries(output)
    if earlier:
        if not resume:
            raise SettingError("output", str(output),
                               f"holds {len(earlier)} files of an earlier run; --resume completes "
                               f"it, --overwrite replaces it")
        try:
            recorded = json.loads(manifest_path.read_text())
        except (OSError, ValueError):
            recorded = None
        if recorded != json.loads(json.dumps(run.manifest())):
            raise SettingError("output", str(output),
                               "holds a run with other settings or of another version; "
                               "--overwrite replaces it")
        return complete_seeds(output, run.form)
    with FileSet() as files:
        with files.open(manifest_path, "w") as stream:
            json.dump(run.manifest(), stream, indent=1)
            stream.write("\n")
        files.commit()
    return set()


def write_summary(output: Path, run: Plan) -> list[Row]:
    """summary.csv from every complete seed's sidecar, in seed order; returns its rows."""
    rows = [row_from_sidecar(output / f"rupture-{seed}.json", run.form)
            for seed in sorted(complete_seeds(output, run.form))]
    text = io.StringIO(newline="")
    writer = csv.DictWriter(text, SUMMARY_FIELDS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    with FileSet() as files:
        with files.open(output / SUMMARY, "w") as stream:
            stream.write(text.getvalue())
        files.commit()
    return rows


def pool_share(workers: int) -> int:
    """Kernel threads per worker when `workers` share this machine's cores."""
    return max(1, (os.cpu_count() or 1) // workers)


def local_cluster(workers: int) -> Any:
    """Worker processes on this machine, each running one task on its share of the cores."""
    from dask.distributed import LocalCluster
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        env={"RAYON_NUM_THREADS": str(pool_share(workers))},
                        dashboard_address=None)


def run_ensemble(client: Any, run: Plan, seeds: Iterable[int], output: str | os.PathLike[str],
                 resume: bool = False, overwrite: bool = False,
                 show_progress: bool = False) -> tuple[list[Row], float, int]:
    """Builds every seed's rupture not already complete on the client's cluster; returns
    the summary rows of every complete seed (in seed order), the seconds from submitting
    the first task to the last result, and how many ruptures were built."""
    directory = Path(output).resolve()
    done = prepare_output(directory, run, resume, overwrite)
    todo = [seed for seed in seeds if seed not in done]
    start = time.perf_counter()
    try:
        futures = client.map(build_variation, todo, run=run, output=str(directory), pure=False)
        if show_progress:
            from dask.distributed import progress
            progress(futures)
        client.gather(futures)
    finally:
        remove_temporaries(directory)
    seconds = time.perf_counter() - start
    return write_summary(directory, run), seconds, len(todo)


# ---- The command ------------------------------------------------------------------------------


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("count", nargs="?", default="16",
                        help="number of variations (default 16)")
    parser.add_argument("--first-seed", default="1", help="seed of the first variation (default 1)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the existing cluster of this Dask scheduler")
    parser.add_argument("--workers", default=None,
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--output", default="ensemble",
                        help="directory for the rupture files and summary.csv (default ensemble)")
    parser.add_argument("--format", choices=("srf", "npz"), default="srf",
                        help="one SRF file or one compressed NumPy file per variation")
    parser.add_argument("--srf-version", choices=srf.VERSIONS, default="2.0",
                        help="SRF version (default 2.0)")
    again = parser.add_mutually_exclusive_group()
    again.add_argument("--resume", action="store_true",
                       help="complete the run already in OUTPUT, skipping its complete seeds")
    again.add_argument("--overwrite", action="store_true",
                       help="remove the run already in OUTPUT first")


def whole_option(setting: str, text: str, low: int, high: int, what: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise SettingError(setting, text, f"{what} must be a whole number from {low} to {high}") from None
    return whole(setting, value, low, high, what)


def connect(address: str) -> Any:
    """A client of the scheduler at `address`, or a one-line failure within the timeout."""
    from dask.distributed import Client

    from .command import Failure
    try:
        return Client(address, timeout=CONNECT_TIMEOUT_S, set_as_default=False)
    except (OSError, TimeoutError, ValueError, TypeError) as failure:
        reason = str(failure).splitlines()[0] if str(failure) else type(failure).__name__
        raise Failure(f"--scheduler {address}: no Dask scheduler answered within "
                      f"{CONNECT_TIMEOUT_S} s ({reason[:200]})") from None


def run_command(arguments: argparse.Namespace) -> None:
    from .command import Failure, warn
    count = whole_option("count", arguments.count, 1, 10**9, "a count of variations")
    first = whole_option("first_seed", arguments.first_seed, 0, 2**64 - 1, "a seed")
    if first + count - 1 > 2**64 - 1:
        raise SettingError("count", arguments.count, "the last seed would pass 2^64 - 1")
    workers = (os.cpu_count() or 1 if arguments.workers is None
               else whole_option("workers", arguments.workers, 1, 4096, "a number of workers"))
    fault, base = options.fault_and_settings(arguments, Fault(), RuptureSettings())
    run = plan(fault, base, arguments.format, arguments.srf_version)
    output = Path(arguments.output)
    if output.exists() and not output.is_dir():
        raise SettingError("output", str(output), "must be a directory")
    warn(build_warnings(fault, base))
    if arguments.scheduler is None:
        need = memory.estimate(fault.subfault_count, [fault.subfault_count],
                               scaling.somerville_rise_time_s(scaling.moment_nm(base.magnitude)),
                               base.dt_s).total * workers
        available = memory.available_bytes()
        if need > available:
            raise SettingError("workers", workers, f"{workers} workers building at once need "
                               f"{memory.gibibytes(need)} and {memory.gibibytes(available)} is "
                               f"available; fewer workers need less")
    seeds = range(first, first + count)
    import contextlib
    cluster = contextlib.nullcontext() if arguments.scheduler else local_cluster(workers)
    with cluster:
        client = connect(arguments.scheduler) if arguments.scheduler else _local_client(cluster)
        with client:
            active = len(client.scheduler_info()["workers"])
            try:
                rows, seconds, built = run_ensemble(client, run, seeds, output, arguments.resume,
                                                    arguments.overwrite, sys.stderr.isatty())
            except SettingError:
                raise
            except Exception as failure:
                if isinstance(failure, (OSError, MemoryError)):
                    raise
                raise Failure(f"a variation failed: {type(failure).__name__}: {failure}") from None
    print(f"{len(rows)} ruptures of a {fault.length_km:g} km fault in {fault.cell_km:g} km cells "
          f"in {output}" + (f", Mw {min(r['mw'] for r in rows):.2f} to {max(r['mw'] for r in rows):.2f}"
                            if rows else ""))
    rate = built / seconds if seconds > 0 else 0.0
    print(f"built {built} in {seconds:.1f} s on {active} workers: {rate:.2f} ruptures per second")


def _local_client(cluster: Any) -> Any:
    from dask.distributed import Client
    return Client(cluster, set_as_default=False)
