"""Eight variations of one fault on a local Dask cluster of two workers, through the
library; the command `kinematic-rupture ensemble` does the same with more options.

    python examples/small_ensemble.py runs/small
"""

import sys

from dask.distributed import Client

from kinematic_rupture import Fault, RuptureSettings
from kinematic_rupture.ensemble import local_cluster, plan, run_ensemble

if __name__ == "__main__":
    output = sys.argv[1] if len(sys.argv) > 1 else "small-ensemble"
    fault = Fault.single(length_km=20.0, width_km=10.0, cell_km=0.2)
    run = plan(fault, RuptureSettings(magnitude=6.3), form="npz")
    with local_cluster(2) as cluster, Client(cluster) as client:
        rows, seconds, built = run_ensemble(client, run, range(1, 9), output, overwrite=True)
    for row in rows:
        print(f"seed {row['seed']}: hypocentre ({row['hypocentre_along_km']:.1f}, "
              f"{row['hypocentre_down_km']:.1f}) km, Mw {row['mw']:.2f}, {row['duration_s']:.1f} s")
    print(f"{built} ruptures in {seconds:.1f} s")
