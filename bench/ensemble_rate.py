"""Throughput of the rupture ensemble (kinematic_rupture.ensemble) on 1 and 2 local workers.

Each run starts its own LocalCluster in a fresh process and times COUNT variations of the
default fault and settings, written as SRF files into a temporary directory, from submitting
the first task to the last result (the cluster's start is not counted). On 2 cores one
worker has a pool of 2 threads and two workers have 1 each. Run by bench/report.py.
"""

import json
import statistics
import sys
import tempfile

import harness

from kinematic_rupture import Fault, RuptureSettings, ensemble

COUNT = 4
WORKERS = (1, 2)


def measure_here(workers):
    from dask.distributed import Client

    run = ensemble.plan(Fault(), RuptureSettings())
    with tempfile.TemporaryDirectory() as output:
        with ensemble.local_cluster(workers) as cluster, Client(cluster) as client:
            _, seconds, built = ensemble.run_ensemble(client, run, range(1, COUNT + 1), output)
    return {"seconds": seconds, "per_second": built / seconds}


def describe():
    fault = Fault()
    return (f"{COUNT} ruptures of {fault.length_km:g} x {fault.planes[0].width_km:g} km at "
            f"{fault.cell_km:g} km, SRF")


def measure_all(runs, progress):
    """The median rate of `runs` fresh-process runs for each number of workers, taking turns."""
    progress(f"  {COUNT} ruptures on {' and '.join(map(str, WORKERS))} workers")
    samples = {workers: [] for workers in WORKERS}
    for _ in range(runs):
        for workers, taken in samples.items():
            taken.append(harness.run_child([__file__, str(workers)]))
    return [{"description": describe(), "workers": workers,
             "pool_threads": ensemble.pool_share(workers),
             "per_second": statistics.median(sample["per_second"] for sample in taken),
             "runs": taken} for workers, taken in samples.items()]


if __name__ == "__main__":
    print(json.dumps(measure_here(int(sys.argv[1]))))
