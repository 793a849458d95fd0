"""Times synthesise_pulses against a straightforward vectorised NumPy implementation of
the same pulses, and against itself on one thread.

200,000 subfaults, rise times 0.5 to 5 s, beta 0.1 to 0.5, dt 0.05 s. Prints the wall
times (best of several runs), the speed ratio to NumPy, the 2-thread speed-up and the
peak memory beyond the inputs, next to the size of the output.

    python bench/pulses.py
"""

import json
import os
import subprocess
import sys
import time

import numpy as np

N = 200_000
DT = 0.05
REPEATS = 5


def inputs():
    rng = np.random.default_rng(2024)
    slip = rng.uniform(0.2, 4.0, N)
    rise = rng.uniform(0.5, 5.0, N)
    beta = rng.uniform(0.1, 0.5, N)
    return slip, rise, beta


def numpy_pulses(slip, rise, dt, beta):
    """The same pulses, one NumPy array operation at a time over every sample."""
    slipping = np.abs(slip) > 0.0001
    x = rise / dt
    whole = np.floor(x)
    o = whole + (x - whole >= 0.5)
    lengths = np.where(slipping, np.maximum(o, 2) + 1, 0).astype(np.int64)
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    owner = np.repeat(np.arange(len(slip)), lengths)
    m = np.arange(offsets[-1]) - offsets[owner]
    t = m * dt
    total = rise[owner]
    tau1 = beta[owner] * total
    tau2 = total - tau1
    a = (t * np.pi) / tau1
    b = ((t - tau1) * np.pi) / tau2
    shape = np.where(
        tau1 > t,
        (0.7 - np.cos(a) * 0.7) + np.sin(a * 0.5) * 0.6,
        np.where(tau1 + tau1 > t, (1.0 - np.cos(a) * 0.7) + np.cos(b) * 0.3,
                 np.where(total > t, np.cos(b) * 0.3 + 0.3, 0.0)),
    )
    shape[(m == 0) | (m == lengths[owner] - 1)] = 0.0
    spike = (o <= 1)[owner]
    shape[spike] = (m[spike] == 1).astype(np.float64)
    starts = offsets[:-1][slipping]
    area = np.add.reduceat(shape * dt, starts)
    scale = np.zeros(len(slip))
    scale[slipping] = slip[slipping] / area
    return offsets, shape * scale[owner]


def best_time(function, *arguments):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = function(*arguments)
        best = min(best, time.perf_counter() - start)
    return best, result


def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))


def kernel_child():
    """Runs in a child process, whose pool size comes from its environment."""
    import _kernels

    slip, rise, beta = inputs()
    before = peak_kib()
    offsets, samples = _kernels.synthesise_pulses(slip, rise, DT, beta)
    peak = peak_kib() - before
    output = (offsets.nbytes + samples.nbytes) // 1024
    del offsets, samples
    seconds, _ = best_time(_kernels.synthesise_pulses, slip, rise, DT, beta)
    print(json.dumps({"seconds": seconds, "peak_kib": peak, "output_kib": output}))


def run_kernel(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    result = subprocess.run([sys.executable, __file__, "--kernel"], env=env, capture_output=True,
                            text=True, check=True)
    return json.loads(result.stdout)


def main():
    import _kernels

    slip, rise, beta = inputs()
    offsets, samples = _kernels.synthesise_pulses(slip, rise, DT, beta)
    numpy_seconds, (numpy_offsets, numpy_samples) = best_time(numpy_pulses, slip, rise, DT, beta)
    assert np.array_equal(offsets, numpy_offsets), "row sizes differ"
    difference = np.max(np.abs(samples - numpy_samples)) / np.max(np.abs(samples))
    assert difference < 1e-12, f"samples differ by {difference:.3g} of the largest"

    one = run_kernel(1)
    two = run_kernel(2)
    print(f"synthesise_pulses, {N} subfaults, {len(samples)} samples ({samples.nbytes / 2**20:.1f} MiB)")
    print(f"  agreement with NumPy: largest difference {difference:.2g} of the largest sample")
    print(f"  NumPy (vectorised)   {numpy_seconds * 1e3:8.1f} ms")
    print(f"  _kernels, 1 thread   {one['seconds'] * 1e3:8.1f} ms")
    print(f"  _kernels, 2 threads  {two['seconds'] * 1e3:8.1f} ms")
    print(f"  speed ratio to NumPy (2 threads): {numpy_seconds / two['seconds']:.2f}x  (target >= 3)")
    print(f"  2-thread speed-up:               {one['seconds'] / two['seconds']:.2f}x  (target >= 1.7)")
    print(f"  peak memory of one call: {two['peak_kib'] / 1024:.1f} MiB for "
          f"{two['output_kib'] / 1024:.1f} MiB of output")


if __name__ == "__main__":
    kernel_child() if sys.argv[1:] == ["--kernel"] else main()
