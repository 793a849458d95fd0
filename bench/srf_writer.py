"""The compiled SRF writer (kinematic_rupture._srf.format_points) against the reference
writer, plain Python with % formatting, on the default rupture and coarser cells.

Each run writes the rupture as an SRF 2.0 file to a temporary directory through a text
stream, as the command does, from opening the file to closing it; the rupture is built
before the clock starts. The file stays in the page cache (no fsync), so the time is the
writer's, not the disk's. Both writers make the same bytes (tests/modeller/test_srf_writer.py).

    python bench/srf_writer.py            # the default rupture: MB/s of each, and the ratio
    python bench/srf_writer.py --cell-km 0.2 --runs 3

Also measured by bench/report.py through bench/harness.py.
"""

import argparse
import os
import sys
import tempfile

import harness

KERNEL = "format_points"
POOLED = False
SIZE_NAME, SIZE_KEY = "points", "cell_km"
PEER = "Python % formatting (reference)"
DEFAULT_CELL_KM = 0.1  # Fault()'s
ROWS = [(PEER, {"cell_km": cell}) for cell in (0.8, 0.4, 0.2, DEFAULT_CELL_KM)]
WARM_UP = {"cell_km": 2.0}


def fault(cell_km):
    from kinematic_rupture import Fault

    return Fault(cell_km=cell_km)


def size(cell_km):
    return fault(cell_km).subfault_count


def describe(cell_km):
    kind = "the default rupture" if cell_km == DEFAULT_CELL_KM else "the default fault"
    return f"{kind}, {cell_km:g} km cells, {size(cell_km):,} points, SRF 2.0"


def setup(method, cell_km):
    from kinematic_rupture import RuptureSettings, build_rupture, srf

    rupture = build_rupture(fault(cell_km), RuptureSettings())
    reference = method != KERNEL
    directory = tempfile.TemporaryDirectory(prefix="srf-writer-")  # removed with the call

    def write():
        path = os.path.join(directory.name, "rupture.srf")
        with open(path, "wb") as stream:
            srf.write_srf(stream, rupture, "2.0", reference=reference)
        return os.path.getsize(path)

    return write


def accuracy(method, result, cell_km):
    """Not an error here: the size of the file written, for its rate."""
    return {"megabytes": result / 1e6}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cell-km", type=float, default=DEFAULT_CELL_KM,
                        help="cell size of the default fault (default %(default)s, the default rupture's)")
    parser.add_argument("--runs", type=int, default=harness.RUNS,
                        help="fresh-process runs of each writer, taking turns (default %(default)s)")
    arguments = parser.parse_args()
    problem = {"cell_km": arguments.cell_km}
    print(f"{describe(**problem)}: {arguments.runs} fresh-process runs of each writer",
          file=sys.stderr, flush=True)
    compiled, reference = harness.measure("srf_writer", [(KERNEL, problem, None), (PEER, problem, None)],
                                          arguments.runs)
    megabytes = compiled["accuracy"]["megabytes"]
    assert megabytes == reference["accuracy"]["megabytes"], "the writers' files differ in size"
    print("| writer | file MB | median s | MB/s | peak extra MiB |\n|---|--:|--:|--:|--:|")
    for name, run in ((f"`{KERNEL}` (compiled)", compiled), (PEER, reference)):
        print(f"| {name} | {megabytes:.1f} | {run['seconds']:.3f} | {megabytes / run['seconds']:.0f} "
              f"| {run['peak_extra_mib']:.1f} |")
    print(f"\ncompiled / reference: {reference['seconds'] / compiled['seconds']:.1f} times the rate")


if __name__ == "__main__":
    main()
