"""Ground motion against its time limits: `kinematic-rupture shake` of the default rupture
(`kinematic-rupture run` with no option) at 20 stations within 30 s once its Green's
functions are cached, and the whole `kinematic-rupture validate --ground-motion` within
20 minutes.

The stations are those of shake's default layout at 2, 5, 10, 20 and 50 km (lines across
the fault on both sides and along it off both ends). The commands run as a user runs them,
each in a fresh process, with the Green's functions' cache in a directory of its own
(KINEMATIC_RUPTURE_CACHE): the first `shake` computes the table and keeps it, the next
RUNS read it. The validation runs once (it takes minutes); its own summary lines give the
biases, which the row keeps. Run by bench/report.py (`--only ground_motion`), or alone:
`python bench/ground_motion.py [--runs N] [--no-validate]`.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SHAKE_LIMIT_S = 30.0
VALIDATE_LIMIT_S = 20 * 60.0
STATION_DISTANCES_KM = (2, 5, 10, 20, 50)
COMMAND = [sys.executable, "-m", "kinematic_rupture"]


def run(arguments, environment, directory):
    """Runs the command; returns its wall time and standard output."""
    start = time.perf_counter()
    done = subprocess.run([*COMMAND, *arguments], env=environment, cwd=directory,
                          capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise RuntimeError(f"{' '.join(arguments)} failed: {done.stderr.strip()}")
    return seconds, done.stdout


def stations_file(directory):
    """The default layout's stations at STATION_DISTANCES_KM, as a station list."""
    from kinematic_rupture.rupture_surface import surface_of
    from kinematic_rupture.srf import read_srf
    from kinematic_rupture.stations import default_stations
    laid = default_stations(surface_of(read_srf(directory / "default.srf")))
    chosen = [station for station in laid if int(station.name[1:]) in STATION_DISTANCES_KM]
    path = directory / "stations.txt"
    path.write_text("".join(f"{s.name} {s.lon:.6f} {s.lat:.6f}\n" for s in chosen))
    return path, len(chosen)


def split_times(output):
    """The command's own split of its time: Green's functions, summation, spectra and files."""
    found = re.search(r"Green's functions ([\d.]+) s, summation ([\d.]+) s, spectra and files "
                      r"([\d.]+) s", output)
    return [float(value) for value in found.groups()] if found else [None, None, None]


def measure_shake(runs, progress):
    with tempfile.TemporaryDirectory() as scratch:
        directory = Path(scratch)
        environment = {**os.environ, "KINEMATIC_RUPTURE_CACHE": str(directory / "cache")}
        run(["run", "--srf", "default.srf", "--no-figure"], environment, directory)
        stations, count = stations_file(directory)
        arguments = ["shake", "default.srf", "--stations", stations.name, "--output", "out"]
        progress(f"  shake of the default rupture at {count} stations, table computed")
        first, output = run(arguments, environment, directory)
        summary = [line for line in output.splitlines() if line.startswith(("stations:", "Green's"))]
        cached = []
        for number in range(runs):
            progress(f"  shake, table cached, run {number + 1} of {runs}")
            seconds, output = run(arguments, environment, directory)
            cached.append({"seconds": seconds, "split_s": split_times(output)})
    return {"stations": count, "first_s": first, "summary": summary, "runs": cached,
            "seconds": statistics.median(run["seconds"] for run in cached),
            "limit_s": SHAKE_LIMIT_S}


def measure_validate(progress):
    progress("  validate --ground-motion (minutes)")
    with tempfile.TemporaryDirectory() as scratch:
        directory = Path(scratch)
        environment = {**os.environ, "KINEMATIC_RUPTURE_CACHE": str(directory / "cache")}
        seconds, output = run(["validate", "--ground-motion", "--output", "report"], environment,
                              directory)
    lines = [line for line in output.splitlines() if line.startswith(("PASS", "FAIL"))]
    return {"seconds": seconds, "scenarios": lines, "limit_s": VALIDATE_LIMIT_S}


def measure_all(runs, progress, validate=True):
    return {"shake": measure_shake(runs, progress),
            "validate": measure_validate(progress) if validate else None}


def table(result):
    shake = result["shake"]
    lines = ["| ground motion | limit s | time s | first run s (table computed) | within limit |",
             "|---|--:|--:|--:|---|",
             f"| shake of the default rupture at {shake['stations']} stations, table cached "
             f"(median of {len(shake['runs'])}) | {shake['limit_s']:g} | {shake['seconds']:.1f} "
             f"| {shake['first_s']:.1f} | {'yes' if shake['seconds'] <= shake['limit_s'] else 'no'} |"]
    validate = result.get("validate")
    if validate:
        lines.append(f"| validate --ground-motion, 6 scenarios x 30 ruptures | {validate['limit_s']:g} "
                     f"| {validate['seconds']:.0f} | - | "
                     f"{'yes' if validate['seconds'] <= validate['limit_s'] else 'no'} |")
    lines += ["", *(f"    {line}" for line in shake["summary"])]
    if validate:
        lines += [*(f"    {line}" for line in validate["scenarios"])]
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-validate", action="store_true")
    arguments = parser.parse_args()
    result = measure_all(arguments.runs, lambda text: print(text, file=sys.stderr, flush=True),
                         validate=not arguments.no_validate)
    print("\n".join(table(result)))
    print(json.dumps(result))


if __name__ == "__main__":
    main()
