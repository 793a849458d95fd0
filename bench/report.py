"""Every benchmark in one report: each kernel against the peer a user would otherwise pick.

    pip install .[bench]
    python bench/report.py

Prints one Markdown table on standard output, with the problem size, the median time of
the kernel and of its peer over RUNS fresh-process runs each (see bench/harness.py), the
ratio of the two, the 1-thread / all-thread ratio of the pooled kernels, the peak extra
memory of each, and, for the eikonal solver, the largest and mean error against the
closed-form answer. Each kernel runs at four or five sizes, so the table also shows how
the cost grows (the compiled SRF writer's row compares it with the Python writer). Then
the default rupture end to end (build, SRF, figure) against its own kernels' time
(bench/end_to_end.py), the throughput of the rupture ensemble on 1 and 2 workers
with each worker's peak memory (bench/ensemble_rate.py), the default rupture exported
to each solver's format against writing its SRF (bench/exports.py), the reference
crust's Green's-function table and the default rupture's (the one shake builds at its
default stations) against their 3-minute limit, with the compiled sum against pyprop8 on a
subset (bench/greens.py), and ground motion against its time limits: shake
of the default rupture at 20 stations with its Green's functions cached, and the whole
validate --ground-motion (bench/ground_motion.py). The same numbers go to bench/results/ as
report.json, report.md and one log-log plot, report.png. Progress goes to standard error.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from importlib import metadata
from importlib.util import find_spec
from pathlib import Path

import eikonal
import end_to_end
import exports
import field
import greens
import ground_motion
import harness
import pulses
import srf_writer

BENCHMARKS = {"pulses": pulses, "eikonal": eikonal, "field": field, "srf_writer": srf_writer,
              "greens": greens}
RESULTS = Path(__file__).resolve().parent / "results"
# A load average above this when the report starts means other work shares the cores.
BUSY_LOAD = 0.5
PACKAGES = ("kinematic-rupture", "numpy", "scipy", "scikit-fmm", "matplotlib", "dask", "distributed",
            "pyprop8")


def progress(text):
    print(text, file=sys.stderr, flush=True)


def measure_benchmark(module, runs):
    """One row per (peer, problem) of the module: the kernel on every core, its peer, and
    for a pooled kernel the kernel on one thread."""
    threads = os.cpu_count() if module.POOLED else None
    rows = []
    for peer, problem in module.ROWS:
        description = module.describe(**problem)
        progress(f"  {module.KERNEL} and {peer}, {description}")
        measurements = [(module.KERNEL, problem, threads), (peer, problem, None)]
        if module.POOLED:
            measurements.append((module.KERNEL, problem, 1))
        kernel, peer_run, *one_thread = harness.measure(module.__name__, measurements, runs)
        row = {"kernel": module.KERNEL, "peer": peer, "problem": problem,
               "description": description, "size": module.size(**problem),
               "size_name": module.SIZE_NAME, "threads": threads,
               "variant": {k: v for k, v in problem.items() if k != module.SIZE_KEY},
               "kernel_run": kernel, "peer_run": peer_run}
        if one_thread:
            row["one_thread_run"] = one_thread[0]
        rows.append(row)
    return rows


def milliseconds(seconds):
    value = seconds * 1e3
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def pair(kernel, peer, key):
    if key not in kernel["accuracy"]:
        return ""
    return f"{kernel['accuracy'][key]:.2e} / {peer['accuracy'][key]:.2e}"


def kernel_table(rows):
    cores = os.cpu_count()
    lines = [
        f"| kernel | peer | problem | kernel ms | peer ms | peer / kernel | 1 / {cores} threads "
        "| kernel MiB | peer MiB | largest error s, kernel / peer | mean error s, kernel / peer |",
        "|---|---|---|--:|--:|--:|--:|--:|--:|--:|--:|",
    ]
    for row in rows:
        kernel, peer = row["kernel_run"], row["peer_run"]
        one = row.get("one_thread_run")
        thread_ratio = f"{one['seconds'] / kernel['seconds']:.2f}" if one else "-"
        lines.append(
            f"| `{row['kernel']}` | {row['peer']} | {row['description']} "
            f"| {milliseconds(kernel['seconds'])} | {milliseconds(peer['seconds'])} "
            f"| {peer['seconds'] / kernel['seconds']:.2f} | {thread_ratio} "
            f"| {kernel['peak_extra_mib']:.1f} | {peer['peak_extra_mib']:.1f} "
            f"| {pair(kernel, peer, 'max_error_s')} | {pair(kernel, peer, 'mean_error_s')} |"
        )
    return lines


def ensemble_table(rates):
    lines = ["| ensemble | workers | pool threads per worker | ruptures / s | speed-up "
             "| peak MiB per worker |",
             "|---|--:|--:|--:|--:|--:|"]
    alone = {rate["description"]: rate["per_second"] for rate in rates if rate["workers"] == 1}
    for rate in rates:
        lines.append(f"| {rate['description']} | {rate['workers']} | {rate['pool_threads']} "
                     f"| {rate['per_second']:.2f} "
                     f"| {rate['per_second'] / alone[rate['description']]:.2f} "
                     f"| {rate['worker_peak_mib']:.0f} |")
    return lines


def end_to_end_table(row):
    """The default rupture's build, SRF and figure against its kernels' time."""
    return ["| end to end | kernels ms | build ms | SRF ms (MB/s) | figure ms "
            f"| build / kernels (limit {end_to_end.BUILD_LIMIT:g}) | (build + SRF) / kernels |",
            "|---|--:|--:|--:|--:|--:|--:|",
            f"| {row['description']} | {milliseconds(row['kernels'])} "
            f"| {milliseconds(row['build'])} "
            f"| {milliseconds(row['srf'])} ({row['srf_mb'] / row['srf']:.0f}) "
            f"| {milliseconds(row['figure'])} | {row['build_ratio']:.2f} | {row['ratio']:.2f} |"]


def greens_table_line(*rows):
    """The Green's-function tables (the reference crust's, the default rupture's) against
    their time limit."""
    return ["| Green's-function table | s | limit s | peak MiB |", "|---|--:|--:|--:|",
            *(f"| {row['description']} | {row['seconds']:.1f} | {greens.LIMIT_S:g} "
              f"| {row['peak_extra_mib']:.0f} |" for row in rows)]


def machine():
    with open("/proc/cpuinfo") as info:
        model = next((line.split(":", 1)[1].strip() for line in info
                      if line.startswith("model name")), platform.processor())
    versions = {}
    for name in PACKAGES:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True, cwd=Path(__file__).parent).stdout.strip()
    return {"processor": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "versions": versions, "commit": commit, "load_average_before": os.getloadavg()}


def header(report):
    about = report["machine"]
    before = ", ".join(f"{value:.2f}" for value in about["load_average_before"])
    text = (f"Measured on {report['date']} with `{report['command']}` (commit {about['commit']})"
            f" on {about['cores']} cores of an {about['processor']} (load average {before} at"
            f" the start), Python {about['python']}; medians of {report['runs']} runs, each in"
            " a fresh process; peer / kernel above 1 means the kernel is faster.")
    if about["load_average_before"][0] > BUSY_LOAD:
        text += (" Other work kept the machine busy, so times and thread ratios are not to be"
                 " trusted.")
    return text


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    kernels = {row["kernel"]: row["size_name"] for row in rows}
    figure, axes = plt.subplots(1, len(kernels), figsize=(5 * len(kernels), 4.2), squeeze=False)
    for axis, (kernel, size_name) in zip(axes[0], kernels.items()):
        series = {}
        for row in (row for row in rows if row["kernel"] == kernel):
            variant = ", ".join(str(value) for value in row["variant"].values())
            suffix = f" ({variant})" if variant else ""
            pool = f", {row['threads']} threads" if row["threads"] else ""
            points = {f"{kernel}{pool}{suffix}": row["kernel_run"],
                      f"{row['peer']}{suffix}": row["peer_run"]}
            if "one_thread_run" in row:
                points[f"{kernel}, 1 thread{suffix}"] = row["one_thread_run"]
            for label, run in points.items():
                series.setdefault(label, {})[row["size"]] = run["seconds"]
        for label, points in series.items():
            sizes = sorted(points)
            axis.plot(sizes, [points[size] for size in sizes], marker="o", label=label)
        axis.set(xscale="log", yscale="log", title=kernel, xlabel=size_name,
                 ylabel="median time (s)")
        axis.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=120)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=harness.RUNS,
                        help="fresh-process runs per measurement (default %(default)s)")
    parser.add_argument("--only", nargs="+",
                        choices=[*BENCHMARKS, "greens_table", "default_rupture_table", "end_to_end", "ensemble",
                                 "exports", "ground_motion"],
                        help="run only these benchmarks")
    parser.add_argument("--output", type=Path, default=RESULTS,
                        help="directory for report.json, report.md and report.png")
    arguments = parser.parse_args()
    chosen = arguments.only or [*BENCHMARKS, "greens_table", "default_rupture_table", "end_to_end", "ensemble",
                                "exports", "ground_motion"]
    missing = [name for name in ("scipy", "skfmm", "matplotlib", "pyprop8") if not find_spec(name)]
    if missing:
        parser.exit(1, f"the benchmarks need {', '.join(missing)}: pip install .[bench]\n")
    if "ensemble" in chosen and not find_spec("distributed"):
        progress("skipping the ensemble: it needs Dask's distributed")
        chosen.remove("ensemble")

    report = {"date": datetime.date.today().isoformat(),
              "command": " ".join(["python", "bench/report.py", *sys.argv[1:]]),
              "runs": arguments.runs, "machine": machine(), "rows": [], "ensemble": [],
              "exports": []}
    for name in (name for name in BENCHMARKS if name in chosen):
        progress(f"{name}:")
        report["rows"] += measure_benchmark(BENCHMARKS[name], arguments.runs)
    if "greens_table" in chosen:
        problem = {"distances": len(greens.DISTANCES_KM)}
        description = (f"Mojave crust, {len(greens.DEPTHS_KM)} depths x {len(greens.DISTANCES_KM)} "
                       f"distances, {greens.band().describe()}")
        progress(f"Green's-function table: {description}")
        (table,) = harness.measure("greens", [(greens.TABLE, problem, None)], 1)
        report["greens_table"] = {"description": description, **table}
    if "default_rupture_table" in chosen:
        place = greens.default_rupture_layout()
        description = (f"the default rupture's for shake: Mojave crust, {len(place.table_depths_km)} depths x "
                       f"{len(place.table_distances_km)} distances, {place.duration_s:g} s every {place.dt_s:g} s")
        progress(f"Green's-function table: {description}")
        problem = {"distances": len(place.table_distances_km)}
        (table,) = harness.measure("greens", [(greens.DEFAULT_TABLE, problem, None)], 1)
        report["default_rupture_table"] = {"description": description, **table}
    if "end_to_end" in chosen:
        progress("end to end:")
        report["end_to_end"] = end_to_end.measure_all(arguments.runs, progress, harness.run_child)
    if "ensemble" in chosen:
        progress("ensemble:")
        import ensemble_rate

        report["ensemble"] = ensemble_rate.measure_all(arguments.runs, progress)
    if "exports" in chosen:
        progress("exports:")
        report["exports"] = exports.measure_all(arguments.runs, progress)
    if "ground_motion" in chosen:
        progress("ground motion:")
        report["ground_motion"] = ground_motion.measure_all(arguments.runs, progress)
    report["machine"]["load_average_after"] = os.getloadavg()

    lines = [header(report), ""]
    if report["rows"]:
        lines += kernel_table(report["rows"])
    tables = [report[name] for name in ("greens_table", "default_rupture_table") if report.get(name)]
    if tables:
        lines += [""] + greens_table_line(*tables)
    if report.get("end_to_end"):
        lines += [""] + end_to_end_table(report["end_to_end"])
    if report["ensemble"]:
        lines += [""] + ensemble_table(report["ensemble"])
    if report["exports"]:
        lines += [""] + exports.table(report["exports"])
    if report.get("ground_motion"):
        lines += [""] + ground_motion.table(report["ground_motion"])
    markdown = "\n".join(lines) + "\n"
    print(markdown, end="")

    arguments.output.mkdir(parents=True, exist_ok=True)
    (arguments.output / "report.md").write_text(markdown)
    (arguments.output / "report.json").write_text(json.dumps(report, indent=1) + "\n")
    if report["rows"]:
        plot(report["rows"], arguments.output / "report.png")
    progress(f"wrote report.json, report.md and report.png to {arguments.output}")


if __name__ == "__main__":
    main()
