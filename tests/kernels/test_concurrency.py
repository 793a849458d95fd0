"""Many threads calling the three functions at once get, bit for bit, what a lone caller
gets, failures included, and so does every size of worker pool."""

import hashlib
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import _kernels

THREADS = 8
ROUNDS = 12


class Endless(list):
    def __len__(self):
        return 2**62


def workload():
    """Calls that each spread over several blocks of the pool, and failures of each kind."""
    rng = np.random.default_rng(11)
    n = 300  # five blocks of subfaults
    slip = rng.uniform(-2.0, 3.0, n)
    rise = rng.uniform(0.0, 0.4, n)
    beta = rng.uniform(0.05, 0.5, n)
    slowness = rng.uniform(0.2, 0.6, (30, 40))
    amplitudes = rng.uniform(0.0, 1.0, (70 // 2 + 1, 50 // 2 + 1))
    seeds = [(0, 0, 0.0), (29, 39, 1.5)]
    return [
        (_kernels.synthesise_pulses, dict(slip_m=slip, rise_time_s=rise, dt_s=0.01, beta=beta)),
        (_kernels.synthesise_pulses, dict(slip_m=slip, rise_time_s=rise, dt_s=0.01)),
        # Three row blocks, three column blocks and three output chunks.
        (_kernels.circulant_draw, dict(amplitudes=amplitudes, padded_shape=(70, 50), cell_counts=(66, 40), seed=5)),
        (_kernels.circulant_draw, dict(amplitudes=amplitudes, padded_shape=(70, 50), cell_counts=(70, 50),
                                       seed=2**64 - 1)),
        (_kernels.eikonal_solve, dict(slowness=slowness, spacing_km=(0.5, 0.25), seeds=seeds)),
        (_kernels.synthesise_pulses, dict(slip_m=slip, rise_time_s=-rise, dt_s=0.01, beta=beta)),
        (_kernels.circulant_draw, dict(amplitudes=amplitudes, padded_shape=(70, 50), cell_counts=(71, 1), seed=5)),
        (_kernels.eikonal_solve, dict(slowness=slowness, spacing_km=(0.5, 0.25), seeds=Endless(seeds))),
        (_kernels.eikonal_solve, dict(slowness=slowness, spacing_km=[0.5, 0.25], seeds=seeds)),
    ]


def outcome(function, arguments):
    """What a call gives, in a form that compares bit for bit."""
    try:
        result = function(**arguments)
    except BaseException as error:
        return ("raised", type(error).__name__, str(error))
    arrays = result if isinstance(result, tuple) else (result,)
    return tuple((array.dtype.str, array.shape, array.tobytes()) for array in arrays)


def hammer():
    """Prints a digest of the lone caller's outcomes, then how many of the threads'
    outcomes differ from them."""
    calls = workload()
    expected = [outcome(*each) for each in calls]
    start = threading.Barrier(THREADS)
    mismatches = []

    def run(offset):
        start.wait()
        for round_ in range(ROUNDS):
            for k in range(len(calls)):
                which = (k + offset + round_) % len(calls)
                if outcome(*calls[which]) != expected[which]:
                    mismatches.append(which)

    threads = [threading.Thread(target=run, args=(offset,)) for offset in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(hashlib.sha256(repr(expected).encode()).hexdigest())
    print(len(mismatches), sorted(set(mismatches)))


def run_hammer(pool_threads):
    code = f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); import test_concurrency; test_concurrency.hammer()"
    environment = os.environ | {"RAYON_NUM_THREADS": str(pool_threads)}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                            env=environment)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@pytest.fixture(scope="module")
def digests():
    return {}


@pytest.mark.parametrize("pool_threads", [1, 2, 8])
def test_threads_calling_at_once_get_the_lone_callers_results(pool_threads, digests):
    digest, mismatches = run_hammer(pool_threads)
    assert mismatches == "0 []"
    digests[pool_threads] = digest
    assert len(set(digests.values())) == 1, "the pool size changed a result"

