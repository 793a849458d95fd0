"""Throughput of the rupture ensemble (kinematic_rupture.ensemble) on 1 and 2 local workers.

Each run starts its own LocalCluster in a fresh process, lets every worker build one
rupture first (which loads the fault's embedding and warms the process up, as the first
of thousands would), then times COUNT variations of the default fault and settings,
written as SRF files, from submitting the first task to the last result. Files go to a
temporary directory on disk, or in memory (a tmpfs) to take the disk's share out. On 2
cores one worker has a pool of 2 threads and two workers have 1 each. Also reported: the
peak resident memory of each worker. Run by bench/report.py.
"""

import json
import os
import resource
import statistics
import sys
import tempfile

import harness

from kinematic_rupture import Fault, RuptureSettings, ensemble

COUNT = 16
WORKERS = (1, 2)
PLACES = {"disk": None, "memory": "/dev/shm"}
WHERE = {"disk": "on disk", "memory": "in memory (tmpfs)"}


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure_here(workers, place):
    from dask.distributed import Client

    run = ensemble.plan(Fault(), RuptureSettings())
    with tempfile.TemporaryDirectory(dir=PLACES[place]) as output:
        with ensemble.local_cluster(workers) as cluster, Client(cluster) as client:
            ensemble.run_ensemble(client, run, range(1, workers + 1), f"{output}/warm")
            _, seconds, built = ensemble.run_ensemble(client, run, range(100, 100 + COUNT),
                                                      f"{output}/timed")
            peaks = list(client.run(peak_mib).values())
    return {"seconds": seconds, "per_second": built / seconds, "worker_peak_mib": max(peaks)}


def describe(place):
    fault = Fault()
    return (f"{COUNT} ruptures of {fault.length_km:g} x {fault.planes[0].width_km:g} km at "
            f"{fault.cell_km:g} km, SRF {WHERE[place]}")


def measure_all(runs, progress):
    """The median rate of `runs` fresh-process runs for each number of workers and place,
    taking turns."""
    places = [place for place, path in PLACES.items() if path is None or os.path.isdir(path)]
    progress(f"  {COUNT} ruptures on {' and '.join(map(str, WORKERS))} workers, "
             f"written to {' and '.join(places)}")
    samples = {(place, workers): [] for place in places for workers in WORKERS}
    for _ in range(runs):
        for (place, workers), taken in samples.items():
            taken.append(harness.run_child([__file__, str(workers), place]))
    return [{"description": describe(place), "workers": workers,
             "pool_threads": ensemble.pool_share(workers),
             "per_second": statistics.median(sample["per_second"] for sample in taken),
             "worker_peak_mib": statistics.median(sample["worker_peak_mib"] for sample in taken),
             "runs": taken} for (place, workers), taken in samples.items()]


if __name__ == "__main__":
    print(json.dumps(measure_here(int(sys.argv[1]), sys.argv[2])))
