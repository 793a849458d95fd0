"""Throughput of the rupture ensemble (examples/ensemble.py) on 1 and 2 local workers.

Each run starts its own LocalCluster in a fresh process and times COUNT variations of the
recipe's default fault, written as SRF files into a temporary directory, from submitting
the first task to the last result (the cluster's start is not counted). On 2 cores one
worker has a pool of 2 threads and two workers have 1 each. Run by bench/report.py.
"""

import json
import statistics
import sys
import tempfile
from pathlib import Path

import harness

COUNT = 4
WORKERS = (1, 2)


sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))


def measure_here(workers):
    import ensemble
    from dask.distributed import Client
    from rupture_recipe import Fault, RuptureSettings

    with tempfile.TemporaryDirectory() as output:
        with ensemble.local_cluster(workers) as cluster, Client(cluster) as client:
            _, seconds = ensemble.run_ensemble(client, Fault(), RuptureSettings(),
                                               range(1, COUNT + 1), output, show_progress=False)
    return {"seconds": seconds, "per_second": COUNT / seconds}


def describe():
    from rupture_recipe import Fault

    fault = Fault()
    return (f"{COUNT} ruptures of {fault.length_km:g} x {fault.width_km:g} km at "
            f"{fault.cell_km:g} km, SRF")


def measure_all(runs, progress):
    import ensemble

    rates = []
    for workers in WORKERS:
        progress(f"  {COUNT} ruptures on {workers} worker(s)")
        samples = [harness.run_child([__file__, str(workers)]) for _ in range(runs)]
        rates.append({"description": describe(), "workers": workers,
                      "pool_threads": ensemble.pool_share(workers),
                      "per_second": statistics.median(s["per_second"] for s in samples),
                      "runs": samples})
    return rates


if __name__ == "__main__":
    print(json.dumps(measure_here(int(sys.argv[1]))))
