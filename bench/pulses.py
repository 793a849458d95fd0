"""synthesise_pulses against the same pulses written as vectorised NumPy.

Slip 0.2 to 4 m, rise times 0.5 to 5 s, rising fractions 0.1 to 0.5 and dt 0.05 s, from
12,500 up to 200,000 subfaults. Measured by bench/report.py through bench/harness.py.
"""

import numpy as np

KERNEL = "synthesise_pulses"
POOLED = True
SIZE_NAME = SIZE_KEY = "subfaults"
DT_S = 0.05
PEER = "NumPy (vectorised)"
ROWS = [(PEER, {"subfaults": n}) for n in (12_500, 25_000, 50_000, 100_000, 200_000)]
WARM_UP = {"subfaults": 1000}


def inputs(subfaults):
    rng = np.random.default_rng(2024)
    slip = rng.uniform(0.2, 4.0, subfaults)
    rise = rng.uniform(0.5, 5.0, subfaults)
    beta = rng.uniform(0.1, 0.5, subfaults)
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


def size(subfaults):
    return subfaults


def describe(subfaults):
    return f"{subfaults:,} subfaults"


def setup(method, subfaults):
    slip, rise, beta = inputs(subfaults)
    if method == KERNEL:
        import _kernels

        return lambda: _kernels.synthesise_pulses(slip, rise, DT_S, beta)
    return lambda: numpy_pulses(slip, rise, DT_S, beta)
