"""Rupture variations of one fault, each from its own seed, built on a Dask cluster or in
this process.

Variation k takes the seed FIRST + k and a hypocentre drawn from that seed, so a seed
names one rupture, bit for bit, whatever the number of workers and in whatever order they
finish. Each task builds its rupture and writes, where it runs, OUTPUT/rupture-SEED.srf
(or .npz) and its sidecar OUTPUT/rupture-SEED.json, the sidecar last; a seed whose
rupture file and sidecar both exist is complete. Only a summary row travels back;
OUTPUT/summary.csv (seed, hypocentre, Mw, duration, peak moment rate) is written in seed
order.

OUTPUT belongs to one run: OUTPUT/ensemble.json records its fault, settings and format.
A directory that holds another run's files is refused, unless the run resumes it (which
skips the seeds whose files are complete and intact, provided the settings are the same,
and rebuilds the summary from every complete seed's sidecar) or overwrites it (which
removes the earlier run's files first). A worker that dies loses nothing: its task runs
again elsewhere, and a file is complete or absent.

`local_cluster` starts worker processes on this machine, one task at a time each, with
every worker's kernel pool sized to its share of the cores through RAYON_NUM_THREADS.
Workers of an existing cluster need this package installed, and should be started the
same way, for instance ``RAYON_NUM_THREADS=8 dask worker ADDRESS --nthreads 1`` on an
8-core machine, and without Dask's ``MALLOC_TRIM_THRESHOLD_`` (see QUIET_LOCAL_CLUSTER).

.. autosummary::

   Plan
   plan
   run_ensemble
   local_cluster
   build_variation
"""

import csv
import dataclasses
import io
import json
import os
import re
import signal
import sys
import time
from collections.abc import Iterator, Sequence
from itertools import islice
from pathlib import Path
from typing import Any

import numpy as np

from . import sidecar, srf
from ._version import __version__
from .checks import SettingError, input_text
from .files import FileSet, is_temporary
from .geometry import Fault
from .hypocentre import DISTRIBUTIONS
from .rupture import Rupture, RuptureSettings, build_rupture

MANIFEST = "ensemble.json"
SUMMARY = "summary.csv"
MANIFEST_FORMAT = "kinematic-rupture ensemble"
SUMMARY_FIELDS = ("seed", "hypocentre_along_km", "hypocentre_down_km", "mw", "duration_s",
                  "peak_moment_rate_nm_s", "file")
RUPTURE_FILE = re.compile(r"rupture-(\d+)\.(srf|npz|json)")
# Tasks submitted and not yet finished at any time: enough to keep a large cluster busy,
# few enough that a run of millions of seeds does not hold millions of futures.
MAX_IN_FLIGHT = 1024

# One variation's line of the summary: SUMMARY_FIELDS, keyed by name.
Row = dict[str, Any]

__all__ = ["MANIFEST", "SUMMARY", "SUMMARY_FIELDS", "Plan", "build_variation", "local_cluster",
           "plan", "run_ensemble"]


@dataclasses.dataclass(frozen=True)
class Plan:
    """What every variation of a run shares; made by `plan`, which checks it.

    Attributes
    ----------
    fault : Fault
        The fault.
    base : RuptureSettings
        The settings but for the seed and the hypocentre, which each variation draws.
    form : {"srf", "npz"}
        One SRF file, or one compressed NumPy file of the rupture's arrays, a variation.
    srf_version : {"2.0", "1.0"}
        The SRF version of the files (and recorded in the sidecars).
    hypocentres : str
        The distribution hypocentres are drawn from: one of `DISTRIBUTIONS`.
    srf_blocks : {"per-plane", "one"}
        One POINTS block a plane, or one for all planes.
    """

    fault: Fault
    base: RuptureSettings
    form: str = "srf"
    srf_version: str = "2.0"
    hypocentres: str = "mai2005"
    srf_blocks: str = "per-plane"

    def manifest(self) -> dict[str, Any]:
        """What OUTPUT/ensemble.json records of the run.

        Returns
        -------
        dict of str to object
            The manifest's format, the package's version, the settings, the output form, the
            SRF version, the hypocentre distribution and (when not per plane) the SRF blocks.
        """
        return {"format": MANIFEST_FORMAT, "kinematic_rupture": __version__,
                "settings": sidecar.settings_document(self.fault, self.base),
                "output": self.form, "srf_version": self.srf_version,
                "hypocentre_distribution": self.hypocentres,
                **({"srf_blocks": self.srf_blocks} if self.srf_blocks != "per-plane" else {})}


def plan(fault: Fault, base: RuptureSettings, form: str = "srf", srf_version: str = "2.0",
         hypocentres: str = "mai2005", srf_blocks: str = "per-plane") -> Plan:
    """What every variation of a run shares, checked.

    Parameters
    ----------
    fault : Fault
        The fault.
    base : RuptureSettings
        The settings; their seed and hypocentre do not matter and are cleared.
    form : {"srf", "npz"}
        What each variation writes besides its sidecar.
    srf_version : {"2.0", "1.0"}
        The SRF version.
    hypocentres : {"mai2005", "melgar-hayes2019"}
        Where hypocentres are drawn: Mai et al. (2005), for the fault's mechanism, or
        Melgar and Hayes (2019).
    srf_blocks : {"per-plane", "one"}
        One POINTS block a plane, or one for all planes.

    Returns
    -------
    Plan

    Raises
    ------
    SettingError
        A value that is none of those.
    """
    if form not in ("srf", "npz"):
        raise SettingError("format", form, "must be srf or npz")
    if srf_version not in srf.VERSIONS:
        raise SettingError("srf_version", srf_version, "must be 1.0 or 2.0")
    if hypocentres not in DISTRIBUTIONS:
        raise SettingError("hypocentre_distribution", hypocentres,
                           f"must be one of {', '.join(DISTRIBUTIONS)}")
    if srf_blocks not in srf.BLOCKS:
        raise SettingError("srf_blocks", srf_blocks, f"must be one of {', '.join(srf.BLOCKS)}")
    return Plan(fault, dataclasses.replace(base, seed=0, hypocentre_km=None), form, srf_version,
                hypocentres, srf_blocks)


def variation_settings(run: Plan, seed: int) -> RuptureSettings:
    """The base settings with this variation's seed, its hypocentre to be drawn from it
    (see `hypocentre.draw_hypocentre`)."""
    return dataclasses.replace(run.base, seed=seed, hypocentre_km=None,
                               hypocentre_distribution=run.hypocentres)


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
    """One task: builds and writes the rupture of one seed.

    Parameters
    ----------
    seed : int
        The variation's seed, from 0 to 2^64 - 1.
    run : Plan
        What the variations share.
    output : str
        The run's directory.

    Returns
    -------
    dict
        Its summary row, by the names of SUMMARY_FIELDS.
    """
    rupture = build_rupture(run.fault, variation_settings(run, seed))
    directory = Path(output)
    name = f"rupture-{seed}.{run.form}"
    with FileSet() as files:
        if run.form == "srf":
            with files.open(directory / name, "wb") as stream:
                srf.write_srf(stream, rupture, run.srf_version, sidecar.provenance(rupture),
                              blocks=run.srf_blocks)
        else:
            files.write_with(directory / name,
                             lambda out: np.savez_compressed(out, **npz_bytes(rupture)))
        written = sidecar.file_record(files.written(directory / name), name)
        with files.open(directory / f"rupture-{seed}.json", "w") as stream:
            stream.write(sidecar.sidecar_text(rupture, run.srf_version, run.srf_blocks,
                                              written))
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


def intact(output: Path, run: Plan, seed: int) -> bool:
    """Whether a seed's files are the ones its task wrote: a sidecar that reads, of this
    run's settings for the seed, SRF version and blocks, with a summary, and a rupture file
    of the size and SHA-256 digest that the sidecar records."""
    name = f"rupture-{seed}.{run.form}"
    try:
        document = json.loads(input_text(output / f"rupture-{seed}.json", "sidecar"))
        expected = sidecar.settings_document(run.fault, variation_settings(run, seed))
        row_from_sidecar(output / f"rupture-{seed}.json", run.form)
        record = document["file"]
        return (document["format"] == sidecar.FORMAT
                and document["settings"] == json.loads(json.dumps(expected))
                and document["srf_version"] == run.srf_version
                and document.get("srf_blocks", "per-plane") == run.srf_blocks
                and record["name"] == name
                and record["bytes"] == (output / name).stat().st_size
                and record == sidecar.file_record(output / name, name))
    except (SettingError, OSError, ValueError, KeyError, TypeError, AttributeError, RecursionError):
        return False


def verified_seeds(output: Path, run: Plan) -> tuple[set[int], set[int]]:
    """The seeds whose files are complete and intact, and those whose files are there but
    damaged, which are removed to be built again."""
    complete = complete_seeds(output, run.form)
    damaged = {seed for seed in complete if not intact(output, run, seed)}
    for seed in damaged:
        for suffix in (run.form, "json"):
            (output / f"rupture-{seed}.{suffix}").unlink(missing_ok=True)
    return complete - damaged, damaged


def final_name(path: Path) -> str:
    """The name a file has or, for a temporary file, will have once complete."""
    return path.name[1:].rsplit(".", 2)[0] if is_temporary(path) else path.name


def run_files(output: Path) -> list[Path]:
    """The files of a run in `output`: ruptures, sidecars, summary, manifest, and the
    temporary files of writes that did not finish."""
    return [path for path in output.iterdir()
            if RUPTURE_FILE.fullmatch(final_name(path)) or final_name(path) in (MANIFEST, SUMMARY)]


def tidy(output: Path) -> None:
    """Removes what writes cut short leave behind: temporary files, and rupture files whose
    sidecar was never renamed into place (a worker killed between the two renames)."""
    if not output.is_dir():
        return
    for path in run_files(output):
        match = RUPTURE_FILE.fullmatch(path.name)
        orphan = (match is not None and match.group(2) != "json"
                  and not (output / f"rupture-{match.group(1)}.json").exists())
        if is_temporary(path) or orphan:
            path.unlink(missing_ok=True)


def check_output(output: Path, run: Plan, resume: bool, overwrite: bool) -> None:
    """Refuses, changing nothing, an output that is not a directory or that holds another
    run's files without `resume` or `overwrite`, or a resumed run of other settings."""
    if output.exists() and not output.is_dir():
        raise SettingError("output", str(output), "must be a directory")
    if not output.exists() or overwrite:
        return
    earlier = [path for path in run_files(output) if not is_temporary(path)]
    if not earlier:
        return
    if not resume:
        raise SettingError("output", str(output),
                           f"holds {len(earlier)} files of an earlier run; --resume completes "
                           f"it, --overwrite replaces it")
    try:
        recorded = json.loads((output / MANIFEST).read_text())
    except (OSError, ValueError):
        recorded = None
    if recorded != json.loads(json.dumps(run.manifest())):
        raise SettingError("output", str(output),
                           "holds a run with other settings or of another version; "
                           "--overwrite replaces it")


def prepare_output(output: Path, run: Plan, resume: bool,
                   overwrite: bool) -> tuple[set[int], set[int]]:
    """Makes `output` this run's directory; returns the seeds already complete in it, and
    those whose files it found damaged and removed (see `verified_seeds`)."""
    check_output(output, run, resume, overwrite)
    output.mkdir(parents=True, exist_ok=True)
    if overwrite:
        for path in run_files(output):
            path.unlink(missing_ok=True)
    tidy(output)
    if (output / MANIFEST).is_file():  # a run that is resumed, of the same settings
        return verified_seeds(output, run)
    with FileSet() as files:
        with files.open(output / MANIFEST, "w") as stream:
            json.dump(run.manifest(), stream, indent=1)
            stream.write("\n")
        files.commit()
    return set(), set()


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


# Dask's housekeeping runs in every process of the cluster, on the cores the ruptures
# need: its sampling profiler every 10 ms, memory and system monitors, a 20 ms tick and
# work stealing, which on one machine only moves tasks between equal workers. A local
# cluster of this command needs none of it at that pace.
#
# Dask also starts its workers with MALLOC_TRIM_THRESHOLD_ set, so that they hand freed
# memory back at once. Any such setting stops glibc from raising its mmap threshold to
# the size of the arrays a program frees, so every array of a rupture (tens of MB each)
# is mapped afresh and faulted in page by page: a default rupture took 0.36 s instead of
# 0.23 s. Workers of this command keep glibc's own adaptive thresholds; a worker's
# memory stays at the peak of one rupture, which it needs again for the next.
QUIET_LOCAL_CLUSTER = {"distributed.worker.profile.enabled": False,
                       "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
                       "distributed.worker.memory.monitor-interval": "2s",
                       "distributed.admin.tick.interval": "500ms",
                       "distributed.admin.system-monitor.interval": "2s",
                       "distributed.scheduler.work-stealing": False}


def local_cluster(workers: int) -> Any:
    """A Dask LocalCluster of worker processes on this machine.

    Each worker runs one task at a time on its share of the cores, with Dask's
    housekeeping slowed down. No dashboard; the scheduler's own HTTP server (which it
    always starts) listens on a free port of this machine alone, rather than on 8787,
    which may be taken.

    Parameters
    ----------
    workers : int
        How many worker processes.

    Returns
    -------
    distributed.LocalCluster
        To be closed when done: ``with local_cluster(2) as cluster, Client(cluster) as
        client: ...``.
    """
    import dask
    from dask.distributed import LocalCluster
    with dask.config.set(QUIET_LOCAL_CLUSTER):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            env={"RAYON_NUM_THREADS": str(pool_share(workers))},
                            dashboard_address=None,
                            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                            preload=[__name__])


def dask_setup(worker: Any) -> None:
    """Run by each local worker as it starts (the module is its preload). Ctrl-C reaches
    every process of the terminal's group; the client alone answers it, and stops the
    workers itself, rather than each worker printing its own traceback."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def build_seeds(client: Any, run: Plan, seeds: Sequence[int], done: set[int], output: Path,
                show_progress: bool = False) -> tuple[float, int]:
    """Builds every seed not in `done`: on the client's cluster, at most MAX_IN_FLIGHT
    tasks at a time, or in this process, one after another, with no client (None);
    returns the seconds from the first submission to the last result and how many
    ruptures were built. The first task that fails raises its failure here."""
    total = len(seeds) - sum(1 for seed in done if seed in seeds)
    todo = (seed for seed in seeds if seed not in done)
    start = time.perf_counter()
    built = 0
    for _ in built_rows(client, run, todo, output):
        built += 1
        if show_progress:
            print(f"\r{built} of {total} built", end="\n" if built == total else "",
                  file=sys.stderr, flush=True)
    return time.perf_counter() - start, built


def built_rows(client: Any, run: Plan, todo: Iterator[int], output: Path) -> Iterator[Row]:
    """Each seed's summary row as its rupture is built: as the cluster's tasks finish, or
    in this process with no client."""
    if client is None:
        for seed in todo:
            yield build_variation(seed, run, str(output))
        return
    from dask.distributed import as_completed

    def submit(count: int) -> list[Any]:
        return [client.submit(build_variation, seed, run, str(output), pure=False)
                for seed in islice(todo, count)]

    finished = as_completed(submit(MAX_IN_FLIGHT), loop=client.loop)
    for future in finished:
        yield future.result()
        finished.update(submit(1))


def run_ensemble(client: Any, run: Plan, seeds: Sequence[int], output: str | os.PathLike[str],
                 resume: bool = False, overwrite: bool = False,
                 show_progress: bool = False) -> tuple[list[Row], float, int]:
    """Builds every seed's rupture not already complete into a directory.

    Parameters
    ----------
    client : distributed.Client or None
        A client of the cluster that builds them (at most MAX_IN_FLIGHT tasks at a
        time), or None to build them in this process, one after another.
    run : Plan
        What the variations share.
    seeds : sequence of int
        The variations' seeds.
    output : str or os.PathLike
        The run's directory, made if it is not there.
    resume : bool
        Complete the run already in `output` (of the same plan), keeping its seeds whose
        files are complete and intact and building the others again.
    overwrite : bool
        Remove the run already in `output` first.
    show_progress : bool
        Count the ruptures built on stderr.

    Returns
    -------
    rows : list of dict
        The summary row of every complete seed, in seed order, as summary.csv holds them.
    seconds : float
        From the first submission to the last result.
    built : int
        How many ruptures were built.

    Raises
    ------
    SettingError
        An output that holds another run's files without `resume` or `overwrite`, or of
        another plan, or that is not a directory.

    Examples
    --------
    >>> from kinematic_rupture import Fault, RuptureSettings, plan, run_ensemble
    >>> run = plan(Fault.single(length_km=6, width_km=4, cell_km=0.5),
    ...            RuptureSettings(magnitude=5.5))
    >>> rows, seconds, built = run_ensemble(None, run, [1, 2], "ensemble")  # doctest: +SKIP
    """
    directory = Path(output).resolve()
    done, _ = prepare_output(directory, run, resume, overwrite)
    try:
        seconds, built = build_seeds(client, run, seeds, done, directory, show_progress)
    finally:
        tidy(directory)
    return write_summary(directory, run), seconds, built
