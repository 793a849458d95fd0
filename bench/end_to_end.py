"""The default rupture end to end, against the time of its own kernel calls.

In a fresh process, one rupture of the default fault and settings warms it up (imports,
the worker pool, the fault's embedding and positions); then each of REPEATS ruptures of
other seeds is built, written as an SRF 2.0 file (the compiled writer, through a file as
the command writes it) and drawn, each step timed apart, and the seconds its three kernel
calls took are summed from the rupture's own timings. The ratios are the build over the
kernels' (which must stay within BUILD_LIMIT) and (build + SRF) over the kernels'. Run by
bench/report.py.
"""

import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

from kinematic_rupture import Fault, RuptureSettings, build_rupture, figure, write_srf

REPEATS = 3
# The build's time (kernels included) at most this many times its kernels'.
BUILD_LIMIT = 2.5


def one(seed, directory):
    start = time.perf_counter()
    rupture = build_rupture(Fault(), RuptureSettings(seed=seed))
    built = time.perf_counter()
    write_srf(directory / f"{seed}.srf", rupture)
    written = time.perf_counter()
    with open(directory / f"{seed}.png", "wb") as stream:
        figure.draw(stream, figure.rupture_view(rupture))
    drawn = time.perf_counter()
    return {"build": built - start, "srf": written - built, "figure": drawn - written,
            "kernels": sum(rupture.timings_s.values()),
            "srf_mb": (directory / f"{seed}.srf").stat().st_size / 1e6}


def measure_here():
    with tempfile.TemporaryDirectory() as output:
        directory = Path(output)
        one(1, directory)
        runs = [one(seed, directory) for seed in range(2, 2 + REPEATS)]
    result = {name: statistics.median(run[name] for run in runs) for name in runs[0]}
    result["build_ratio"] = result["build"] / result["kernels"]
    result["ratio"] = (result["build"] + result["srf"]) / result["kernels"]
    return result


def describe():
    fault = Fault()
    rows, columns = fault.cells()
    return (f"default rupture: {fault.length_km:g} x {fault.planes[0].width_km:g} km at "
            f"{fault.cell_km:g} km ({rows * columns:,} subfaults), Mw {RuptureSettings().magnitude:g}")


def measure_all(runs, progress, run_child):
    progress(f"  {describe()}, {runs} fresh processes")
    taken = [run_child([__file__]) for _ in range(runs)]
    median = {name: statistics.median(run[name] for run in taken) for name in taken[0]}
    return {"description": describe(), **median, "runs": taken}


if __name__ == "__main__":
    print(json.dumps(measure_here()))
