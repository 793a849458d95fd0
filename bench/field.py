"""circulant_draw against the recipe a user would otherwise write with NumPy and SciPy.

Draws a pair of fields on a 2048 x 2048 padded grid cropped to 1024 x 1024 and prints
the speed ratio of the two, the 1-thread / 2-thread ratio of circulant_draw, and the
peak extra memory of each against what the algorithm needs. Every measurement runs in a
fresh subprocess: the worker pool is sized once per process, and peak memory must not
carry over from an earlier method.

    python bench/field.py
"""

import json
import os
import subprocess
import sys
import time

import numpy as np

PADDED = (2048, 2048)
CELLS = (1024, 1024)
SEED = 7
REPEATS = 15
MIB = 2**20


def amplitude_quadrant(padded=PADDED):
    rows, columns = padded[0] // 2 + 1, padded[1] // 2 + 1
    return np.random.default_rng(0).random((rows, columns))


def draw_kernels(quadrant, padded=PADDED, cells=CELLS):
    import _kernels

    return _kernels.circulant_draw(quadrant, padded, cells, SEED)


def draw_recipe(quadrant, padded=PADDED, cells=CELLS):
    import scipy.fft

    (pi, pj), (ci, cj) = padded, cells
    rng = np.random.default_rng(SEED)
    noise = rng.standard_normal(padded) + 1j * rng.standard_normal(padded)
    rows = np.minimum(np.arange(pi), pi - np.arange(pi))
    columns = np.minimum(np.arange(pj), pj - np.arange(pj))
    field = scipy.fft.ifft2(quadrant[np.ix_(rows, columns)] * noise, norm="ortho", workers=-1)
    corner = field[:ci, :cj]
    return corner.real.copy(), corner.imag.copy()


METHODS = {"circulant_draw": draw_kernels, "recipe": draw_recipe}


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure_time(method):
    quadrant = amplitude_quadrant()
    METHODS[method](quadrant)  # warm up: pool, plans, imports
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        METHODS[method](quadrant)
        best = min(best, time.perf_counter() - start)
    return {"seconds": best}


def measure_memory(method, warm=False):
    import _kernels  # noqa: F401  (imports are not part of the draw)
    import scipy.fft  # noqa: F401

    quadrant = amplitude_quadrant()
    if warm:
        # A smaller draw first makes what lives as long as the process (the worker
        # pool, library caches), so that only the draw's own memory is counted.
        METHODS[method](amplitude_quadrant((256, 256)), (256, 256), (128, 128))
    baseline = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the peak to the current size
    result = METHODS[method](quadrant)
    peak = status_kib("VmHWM")
    del result
    return {"peak_extra_mib": (peak - baseline) / 1024}


def run_worker(kind, method, threads=None):
    env = dict(os.environ)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    output = subprocess.run(
        [sys.executable, __file__, "--worker", kind, method],
        env=env, check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(output)


def main():
    cells = PADDED[0] * PADDED[1]
    kept = CELLS[0] * CELLS[1]
    needed_mib = (16 * cells + 16 * kept + 2 * 8 * kept) / MIB

    ours = run_worker("time", "circulant_draw")["seconds"]
    recipe = run_worker("time", "recipe")["seconds"]
    one = run_worker("time", "circulant_draw", threads=1)["seconds"]
    two = run_worker("time", "circulant_draw", threads=2)["seconds"]
    ours_mib = run_worker("memory", "circulant_draw")["peak_extra_mib"]
    recipe_mib = run_worker("memory", "recipe")["peak_extra_mib"]
    ours_warm_mib = run_worker("memory-warm", "circulant_draw")["peak_extra_mib"]
    recipe_warm_mib = run_worker("memory-warm", "recipe")["peak_extra_mib"]

    print(f"padded {PADDED[0]}x{PADDED[1]}, cropped to {CELLS[0]}x{CELLS[1]}, best of {REPEATS}")
    print(f"circulant_draw          {ours * 1e3:8.1f} ms")
    print(f"recipe (numpy + scipy)  {recipe * 1e3:8.1f} ms")
    print(f"speed ratio recipe / circulant_draw: {recipe / ours:.2f}x")
    print(f"circulant_draw 1 thread {one * 1e3:8.1f} ms, 2 threads {two * 1e3:8.1f} ms")
    print(f"thread ratio 1-thread / 2-thread: {one / two:.2f}x")
    print(f"peak extra memory: circulant_draw {ours_mib:.1f} MiB, recipe {recipe_mib:.1f} MiB")
    print(f"  after a smaller warm-up draw: circulant_draw {ours_warm_mib:.1f} MiB, "
          f"recipe {recipe_warm_mib:.1f} MiB")
    print(f"algorithm needs {needed_mib:.1f} MiB (padded grid + kept values + two outputs)")
    print(f"memory ratio circulant_draw / needed: {ours_mib / needed_mib:.2f}")
    print(f"memory ratio recipe / circulant_draw: {recipe_mib / ours_mib:.2f}x")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--worker":
        measure = {
            "time": measure_time,
            "memory": measure_memory,
            "memory-warm": lambda method: measure_memory(method, warm=True),
        }[sys.argv[2]]
        print(json.dumps(measure(sys.argv[3])))
    else:
        main()
