"""Times one method of a benchmark module, each run in a fresh subprocess.

A fresh process per run matters twice over: the kernels' worker pool is sized once per
process (from RAYON_NUM_THREADS), and a process's peak resident size never goes down, so
one measurement's memory would otherwise carry over into the next.

In the child, the method first runs once on the module's small WARM_UP problem, which
leaves behind what lives as long as the process (imports, the worker pool, library
caches). Then the peak is reset to the current size through /proc/self/clear_refs and the
measured call runs: its time and its peak resident size beyond that baseline are
recorded. A call shorter than MIN_SECONDS is repeated until the calls add up to that,
and the run's time is their median. The parent reports the median over the runs. The
processor time of the first call, next to its wall time, shows whether the run got the
cores it asked for on a busy machine.

A benchmark module offers WARM_UP (the keyword arguments of a small problem),
setup(method, **problem), which prepares the inputs and returns the call to time, and
optionally accuracy(method, result, **problem), a dict of figures about the result.
"""

import importlib
import json
import os
import statistics
import subprocess
import sys
import time

RUNS = 5
MIN_SECONDS = 0.2
MAX_CALLS = 50


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # sets the peak resident size to the current one


def run_child(arguments, threads=None):
    """Runs this interpreter on `arguments` in a fresh process; returns its JSON output."""
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    output = subprocess.run([sys.executable, *arguments], env=env, check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output.splitlines()[-1])


def summary(samples):
    return {
        "seconds": statistics.median(sample["seconds"] for sample in samples),
        "peak_extra_mib": statistics.median(sample["peak_extra_mib"] for sample in samples),
        "accuracy": samples[0]["accuracy"],
        "runs": samples,
    }


def measure(module, measurements, runs=RUNS):
    """The median time and peak extra memory of `runs` fresh-process runs of each
    (method, problem, threads) in `measurements`. Their runs take turns, so that a change
    in the machine's load falls on all of them alike."""
    samples = [[] for _ in measurements]
    for _ in range(runs):
        for taken, (method, problem, threads) in zip(samples, measurements):
            taken.append(run_child([__file__, module, method, json.dumps(problem)], threads))
    return [summary(taken) for taken in samples]


def measure_here(module_name, method, problem):
    """One run, in this process: what the child side of measure() does."""
    module = importlib.import_module(module_name)
    module.setup(method, **module.WARM_UP)()
    call = module.setup(method, **problem)

    baseline = status_kib("VmRSS")
    reset_peak()
    start, processor = time.perf_counter(), time.process_time()
    result = call()
    seconds = [time.perf_counter() - start]
    processor_seconds = time.process_time() - processor
    peak = status_kib("VmHWM")
    accuracy = module.accuracy(method, result, **problem) if hasattr(module, "accuracy") else {}
    del result

    while sum(seconds) < MIN_SECONDS and len(seconds) < MAX_CALLS:
        start = time.perf_counter()
        call()
        seconds.append(time.perf_counter() - start)
    return {
        "seconds": statistics.median(seconds),
        "calls": len(seconds),
        "first_call_processor_seconds": processor_seconds,
        "peak_extra_mib": (peak - baseline) / 1024,
        "accuracy": accuracy,
    }


if __name__ == "__main__":
    module_name, method, problem = sys.argv[1:]
    print(json.dumps(measure_here(module_name, method, json.loads(problem))))
