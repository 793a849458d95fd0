"""The module over a process's life: threads still inside a kernel when the interpreter
shuts down, processes forked while the pool is busy, and worker threads that cannot start."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _kernels


def run_python(code, timeout=120, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


def with_pool_of(threads):
    return dict(os.environ, RAYON_NUM_THREADS=str(threads))


def test_a_daemon_thread_inside_a_kernel_at_shutdown_ends_quietly():
    # The main thread ends while an object's finaliser sleeps, so that the daemon thread
    # leaves its kernel and asks for the interpreter lock during finalisation.
    code = """
        import threading, time
        import numpy as np, _kernels

        slowness = np.ones((600, 600))

        def solve_forever():
            while True:
                _kernels.eikonal_solve(slowness, (0.1, 0.1), [(300, 300, 0.0)])

        class SlowToGo:
            def __del__(self):
                time.sleep(0.2)

        threading.Thread(target=solve_forever, daemon=True).start()
        time.sleep(0.05)
        lingering = SlowToGo()
    """
    for run in range(12):
        result = run_python(code)
        assert (result.returncode, result.stderr) == (0, ""), f"run {run}"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_while_the_pool_is_busy_can_use_every_function():
    code = """
        import os, sys, threading, time, warnings
        import numpy as np, _kernels

        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        n = 50_000
        slip, rise, beta = np.ones(n), np.full(n, 3.0), np.full(n, 0.3)
        amplitudes = np.random.default_rng(1).random((129, 129))
        slowness = np.ones((40, 50))

        def every_function():
            return (_kernels.synthesise_pulses(slip, rise, 0.01, beta),
                    _kernels.circulant_draw(amplitudes, (256, 256), (100, 120), 5),
                    _kernels.eikonal_solve(slowness, (0.5, 0.5), [(3, 4, 0.0)]))

        expected = every_function()
        stop = False

        def keep_the_pool_busy():
            while not stop:
                _kernels.synthesise_pulses(slip, rise, 0.001, beta)

        busy = threading.Thread(target=keep_the_pool_busy)
        busy.start()
        time.sleep(0.3)
        for attempt in range(3):
            child = os.fork()
            if child == 0:
                (offsets, samples), (real, imaginary), times = every_function()
                same = (np.array_equal(offsets, expected[0][0])
                        and np.array_equal(samples, expected[0][1])
                        and np.array_equal(real, expected[1][0])
                        and np.array_equal(imaginary, expected[1][1])
                        and np.array_equal(times, expected[2]))
                os._exit(0 if same else 3)
            for waited in range(600):
                pid, status = os.waitpid(child, os.WNOHANG)
                if pid:
                    break
                time.sleep(0.05)
            else:
                os.kill(child, 9)
                os.waitpid(child, 0)
                print("child", attempt, "hung")
                break
            print("child", attempt, "exit", os.waitstatus_to_exitcode(status))
            time.sleep(0.05)
        stop = True
        busy.join()
    """
    result = run_python(code, timeout=180, env=with_pool_of(2))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"child {k} exit 0" for k in range(3)]


LIMITED_CALLS = """
import hashlib, os, sys
import numpy as np, _kernels

n = 20_000
slip, rise, beta = np.linspace(0.0, 2.0, n), np.linspace(0.5, 5.0, n), np.linspace(0.1, 0.5, n)
amplitudes = np.random.default_rng(2).random((65, 97))

def calls():
    return (*_kernels.synthesise_pulses(slip, rise, 0.05, beta),
            *_kernels.circulant_draw(amplitudes, (128, 192), (100, 150), 11))

if sys.argv[1] == "limited":
    # An unprivileged user allowed no more processes than it has cannot start a thread.
    import resource
    resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
    os.setgid(65534)
    os.setuid(65534)
for attempt in range(2):
    print(hashlib.sha256(b"".join(a.tobytes() for a in calls())).hexdigest())
"""


@pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0,
                    reason="needs root to run the calls as a user with a thread limit")
@pytest.mark.parametrize("threads", [2, 8])
def test_workers_that_cannot_start_leave_the_calling_thread_to_do_the_work(threads):
    outputs = {}
    for mode in ("free", "limited"):
        result = subprocess.run([sys.executable, "-c", LIMITED_CALLS, mode], capture_output=True,
                                text=True, timeout=120, env=with_pool_of(threads))
        assert result.returncode == 0, result.stderr
        outputs[mode] = result.stdout.split()
    assert outputs["limited"] == outputs["free"]
    assert len(set(outputs["free"])) == 1
