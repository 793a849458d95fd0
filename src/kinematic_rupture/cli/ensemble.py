"""`kinematic-rupture ensemble COUNT`: rupture variations of one fault, each from its own
seed, built on a Dask cluster (a local one, or the one of --scheduler) into --output by
the library's `kinematic_rupture.ensemble`, with a summary and the throughput printed."""

import argparse
import contextlib
import gc
import logging
import os
import queue
import sys
import threading
from collections.abc import Iterator
from concurrent.futures import CancelledError
from pathlib import Path
from typing import Any

from .. import memory, srf
from ..checks import SettingError, whole
from ..ensemble import (build_seeds, check_output, local_cluster, plan,
                        prepare_output, tidy, write_summary)
from ..geometry import Fault
from ..hypocentre import DISTRIBUTIONS
from ..rupture import RuptureSettings, build_warnings, memory_need
from . import options
from .failures import Failure, warn
from .options import add_model_options

DESCRIPTION = "Rupture variations of one fault, each from its own seed, as tasks on a Dask cluster."
# How long a scheduler has to answer as one, and a cluster to show a worker, before the
# command gives up on it.
CONNECT_TIMEOUT_S = 15
# The loggers to which Dask gives levels of their own: the others inherit the first's.
DASK_LOGGERS = ("distributed", "distributed.client", "distributed.gc")


def add_parser(commands: Any) -> None:
    """The subcommand `ensemble`, among `commands` (the main parser's subparsers)."""
    parser = commands.add_parser("ensemble", help="build many ruptures of one fault on a Dask "
                                 "cluster", description=DESCRIPTION)
    add_options(parser)
    add_model_options(parser, hypocentre=False)
    parser.set_defaults(handler=run_command)


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("count", nargs="?", default="16",
                        help="number of variations (default 16)")
    parser.add_argument("--first-seed", default="1", help="seed of the first variation (default 1)")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the existing cluster of this Dask scheduler")
    cluster.add_argument("--workers", default=None,
                         help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--output", default="ensemble",
                        help="directory for the rupture files and summary.csv (default ensemble)")
    parser.add_argument("--format", choices=("srf", "npz"), default="srf",
                        help="one SRF file or one compressed NumPy file per variation")
    parser.add_argument("--srf-version", choices=srf.VERSIONS, default="2.0",
                        help="SRF version (default 2.0)")
    parser.add_argument("--srf-blocks", choices=srf.BLOCKS, default="per-plane",
                        help="one POINTS block a plane (default), or one for all planes, for "
                        "readers that read only the first (SW4, instaseis)")
    parser.add_argument("--hypocentre-distribution", choices=DISTRIBUTIONS, default="mai2005",
                        help="where hypocentres are drawn: the positions of Mai et al. (2005) for "
                        "the fault's mechanism, or of Melgar and Hayes (2019), each weighted so "
                        "that they fall in large and very large slip as often as Mai et al. found "
                        "(default mai2005)")
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


def first_line(failure: BaseException) -> str:
    text = str(failure).strip()
    return text.splitlines()[0][:200] if text else type(failure).__name__


def connect(address: str) -> Any:
    """A client of the scheduler at `address` that has at least one worker, or a one-line
    failure: within CONNECT_TIMEOUT_S if no scheduler answers, twice that if no worker joins.

    Dask's own timeout does not cover a server that accepts the connection and never
    answers its handshake, so the client is made in a thread of its own and given up on
    when the time is over; the thread is left to end with the process."""
    from dask.distributed import Client
    outcome: queue.Queue[Any] = queue.Queue()

    def attempt() -> None:
        try:
            outcome.put(Client(address, timeout=CONNECT_TIMEOUT_S, set_as_default=False))
        except Exception as failure:
            outcome.put((isinstance(failure, ValueError), first_line(failure)))
        # A client that failed to start sits in a reference cycle; collected only when the
        # interpreter ends, its closing would wait 30 s on a stopped loop and print a traceback.
        gc.collect()

    threading.Thread(target=attempt, name="connect", daemon=True).start()
    try:
        client = outcome.get(timeout=CONNECT_TIMEOUT_S + 1)
    except queue.Empty:
        client = (False, f"it took the connection and said nothing for {CONNECT_TIMEOUT_S} s")
    if isinstance(client, tuple):
        malformed, reason = client
        if malformed:
            raise Failure(f"--scheduler {address}: not the address of a Dask scheduler, such "
                          f"as tcp://host:8786 ({reason})", 2)
        raise Failure(f"--scheduler {address}: no Dask scheduler answered ({reason})")
    try:
        client.wait_for_workers(1, timeout=CONNECT_TIMEOUT_S)
    except (TimeoutError, OSError):
        client.close()
        raise Failure(f"--scheduler {address}: the cluster has no worker, and none joined "
                      f"within {CONNECT_TIMEOUT_S} s") from None
    return client


@contextlib.contextmanager
def connected(scheduler: str | None, workers: int) -> Iterator[Any]:
    """A client of the cluster at `scheduler`, or of a local cluster of `workers` processes
    that stops when the block ends."""
    from dask.distributed import Client

    if scheduler is not None:
        with connect(scheduler) as client:
            yield client
        return
    try:
        cluster = local_cluster(workers)
    except Exception as failure:
        raise Failure(f"--workers {workers}: the local cluster did not start "
                      f"({first_line(failure)})") from None
    with cluster, Client(cluster, set_as_default=False) as client:
        yield client


def quiet_dask() -> None:
    """Keeps Dask's log lines off the command's stderr, which says what went wrong in one
    line of its own: a worker restarted, a result fetched again, and when the run stops,
    tasks cancelled and results lost (logged as critical). Dask sets the level of each of
    these loggers from its configuration, which it reads from the environment when
    imported, here and in the local workers started later."""
    silent = logging.CRITICAL + 1
    os.environ["DASK_LOGGING"] = repr(dict.fromkeys(DASK_LOGGERS, silent))
    for name in DASK_LOGGERS:
        logging.getLogger(name).setLevel(silent)


def run_command(arguments: argparse.Namespace) -> None:
    count = whole_option("count", arguments.count, 1, 10**9, "a count of variations")
    first = whole_option("first_seed", arguments.first_seed, 0, 2**64 - 1, "a seed")
    if first + count - 1 > 2**64 - 1:
        raise SettingError("count", arguments.count, "the last seed would pass 2^64 - 1")
    workers = (os.cpu_count() or 1 if arguments.workers is None
               else whole_option("workers", arguments.workers, 1, 4096, "a number of workers"))
    workers = min(workers, count)
    fault, base = options.fault_and_settings(arguments, Fault(), RuptureSettings(),
                                             size_by_magnitude=True)
    run = plan(fault, base, arguments.format, arguments.srf_version,
               arguments.hypocentre_distribution, arguments.srf_blocks)
    output = Path(arguments.output)
    check_output(output, run, arguments.resume, arguments.overwrite)
    warn(build_warnings(fault, base))
    if arguments.scheduler is None:
        need = memory_need(fault, base).total * workers
        available = memory.available_bytes()
        if need > available:
            raise SettingError("workers", workers, f"{workers} workers building at once need "
                               f"{memory.gibibytes(need)} and {memory.gibibytes(available)} is "
                               f"available; fewer workers need less")
    seeds = range(first, first + count)
    quiet_dask()
    from distributed import KilledWorker
    try:
        with connected(arguments.scheduler, workers) as client:
            active = len(client.scheduler_info()["workers"])
            done, damaged = prepare_output(output, run, arguments.resume, arguments.overwrite)
            if arguments.resume:
                print(f"resuming: {len(done)} seed{'s' if len(done) != 1 else ''} complete; "
                      f"{len(damaged)} whose files were damaged or not this run's to be built again")
            try:
                seconds, built = build_seeds(client, run, seeds, done, output.resolve(),
                                             sys.stderr.isatty())
            except (KilledWorker, CancelledError) as failure:  # the cluster's, not a rupture's
                raise Failure(f"a variation failed: {type(failure).__name__}: "
                              f"{first_line(failure)}") from None
    finally:
        # After the local workers have stopped, so that none is still writing.
        tidy(output)
    rows = write_summary(output, run)
    print(f"{len(rows)} ruptures of a {fault.length_km:g} km fault in {fault.cell_km:g} km cells "
          f"in {output}" + (f", Mw {min(r['mw'] for r in rows):.2f} to {max(r['mw'] for r in rows):.2f}"
                            if rows else ""))
    rate = built / seconds if seconds > 0 else 0.0
    print(f"built {built} in {seconds:.1f} s on {active} worker{'s' if active != 1 else ''}: "
          f"{rate:.2f} ruptures per second")
