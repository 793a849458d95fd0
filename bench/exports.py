"""Exporting the default rupture (120,000 subfaults) to each format against writing its
SRF file, both timed in the same run, and each file's size against the SRF's.

Each run, in a fresh process (bench/harness.py), builds the default rupture before the
clock starts and then times one of: writing its SRF 2.0 file as the command does (the
compiled writer through files.FileSet, synced, renamed into place), or exporting the SRF
file's points, read back before the clock starts as the export command reads them, to one
format through kinematic_rupture.io.export (also complete-or-absent and synced). The files
go to a temporary directory in memory (/dev/shm where there is one), so the times are the
writers', not the disk's. seissol-nrf projects to UTM zone 11 (EPSG:32611); specfem-cmt
writes one block a subfault, without external source-time-function files (which hold
NSTEP values a source, see the README).

    python bench/exports.py             # every format, the default rupture
    python bench/exports.py --cell-km 0.5 --runs 1

Also measured by bench/report.py.
"""

import argparse
import os
import sys
import tempfile

import harness

SRF = "srf"
FORMATS = ("srf-single-block", "sw4-hdf5", "seissol-nrf", "specfem-cmt", "points-hdf5")
OPTIONS = {"seissol-nrf": {"projection": "EPSG:32611"}}
DEFAULT_CELL_KM = 0.1
WARM_UP = {"cell_km": 2.0, "format": "srf"}
# The limits the exports are held to: time and size against the SRF's.
MAX_TIME_RATIO = 3.0
MAX_SIZE_RATIO = 2.0


def scratch_directory():
    memory = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    return tempfile.TemporaryDirectory(prefix="exports-", dir=memory)


def setup(method, cell_km, format):
    from kinematic_rupture import Fault, RuptureSettings, build_rupture, read_srf, sidecar, srf
    from kinematic_rupture.files import FileSet
    from kinematic_rupture.io import export

    rupture = build_rupture(Fault(cell_km=cell_km), RuptureSettings())
    directory = scratch_directory()  # removed with the call, which refers to it

    def write_srf():
        srf_path = os.path.join(directory.name, "rupture.srf")
        with FileSet() as files:
            with files.open(srf_path, "w") as stream:
                srf.write_srf(stream, rupture, "2.0", sidecar.provenance(rupture))
            files.commit()
        return os.path.getsize(srf_path)

    if method == SRF:
        return write_srf
    write_srf()
    source = read_srf(os.path.join(directory.name, "rupture.srf"))

    def write_export():
        path = os.path.join(directory.name, "rupture.export")
        export(source, path, method, **OPTIONS.get(method, {}))
        return os.path.getsize(path)

    return write_export


def accuracy(method, result, cell_km, format):
    """Not an error here: the size of the file written."""
    return {"megabytes": result / 1e6}


def describe(cell_km):
    from kinematic_rupture import Fault

    return f"the default rupture, {cell_km:g} km cells, {Fault(cell_km=cell_km).subfault_count:,} subfaults"


def measure_all(runs, progress, cell_km=DEFAULT_CELL_KM):
    """One row a format: its export and the SRF, taking turns run by run."""
    problem = {"cell_km": cell_km}
    progress(f"  {describe(cell_km)}: the SRF and {len(FORMATS)} exports, {runs} fresh processes each")
    measurements = [(SRF, {**problem, "format": SRF}, None)] + [
        (name, {**problem, "format": name}, None) for name in FORMATS]
    srf_run, *export_runs = harness.measure("exports", measurements, runs)
    rows = []
    for name, run in zip(FORMATS, export_runs):
        rows.append({"format": name, "description": describe(cell_km),
                     "export_s": run["seconds"], "srf_s": srf_run["seconds"],
                     "export_mb": run["accuracy"]["megabytes"],
                     "srf_mb": srf_run["accuracy"]["megabytes"],
                     "export_peak_mib": run["peak_extra_mib"], "runs": run["runs"]})
    return rows


def table(rows):
    lines = ["| export | problem | export ms | SRF ms | export / SRF | file MB | SRF MB "
             "| file / SRF | peak MiB |", "|---|---|--:|--:|--:|--:|--:|--:|--:|"]
    for row in rows:
        lines.append(f"| {row['format']} | {row['description']} | {row['export_s'] * 1e3:.0f} "
                     f"| {row['srf_s'] * 1e3:.0f} | {row['export_s'] / row['srf_s']:.2f} "
                     f"| {row['export_mb']:.1f} | {row['srf_mb']:.1f} "
                     f"| {row['export_mb'] / row['srf_mb']:.2f} | {row['export_peak_mib']:.0f} |")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cell-km", type=float, default=DEFAULT_CELL_KM,
                        help="cell size of the default fault (default %(default)s)")
    parser.add_argument("--runs", type=int, default=harness.RUNS,
                        help="fresh-process runs of each (default %(default)s)")
    arguments = parser.parse_args()
    rows = measure_all(arguments.runs, lambda text: print(text, file=sys.stderr, flush=True),
                       arguments.cell_km)
    print("\n".join(table(rows)))
    over = [row["format"] for row in rows if row["export_s"] > MAX_TIME_RATIO * row["srf_s"]]
    if over:
        print(f"\nslower than {MAX_TIME_RATIO:g} times the SRF: {', '.join(over)}")


if __name__ == "__main__":
    main()
