"""eikonal_solve against scikit-fmm's travel_time on media with a known answer.

The velocity grows linearly with depth, v = v0 + g z, over a square grid at 0.1 km
spacing with the hypocentre at (0.3, 0.4) of the way down and along. For such a medium
the first-arrival time from a point has the closed form
t = arccosh(1 + g^2 r^2 / (2 v_source v_receiver)) / g, against which each solver's
largest and mean error are taken. Two media: a realistic 2 to 5 km/s, and a 26-fold
contrast of 0.2 to 5.2 km/s, which makes the sweeps take more rounds.

scikit-fmm starts from the zero level set of a function phi rather than from a point; it
gets a level set hugging the hypocentre (phi = distance - 0.001 cells). The usual marker
(phi = -1 on the hypocentre's cell, +1 elsewhere) would put its starting front half a cell
out, an error that partly cancels that of the first-order scheme.

Measured by bench/report.py through bench/harness.py.
"""

import numpy as np

KERNEL = "eikonal_solve"
POOLED = False
SIZE_NAME, SIZE_KEY = "cells", "side"
SPACING_KM = 0.1
MEDIA = {"2-5 km/s": (2.0, 5.0), "26-fold": (0.2, 5.2)}  # velocity at top and bottom
ORDER_1, ORDER_2 = "scikit-fmm order 1", "scikit-fmm order 2"
ROWS = [(ORDER_1, {"side": n, "medium": "2-5 km/s"}) for n in (125, 250, 500, 1000)] + [
    (ORDER_2, {"side": 1000, "medium": "2-5 km/s"}),
    (ORDER_1, {"side": 1000, "medium": "26-fold"}),
    (ORDER_2, {"side": 1000, "medium": "26-fold"}),
]
WARM_UP = {"side": 50, "medium": "2-5 km/s"}


def hypocentre(side):
    return round(0.3 * (side - 1)), round(0.4 * (side - 1))


def linear_medium(side, medium):
    """Velocity (km/s), distance from the hypocentre (km) and the exact travel time (s)."""
    top, bottom = MEDIA[medium]
    depth = np.arange(side) * SPACING_KM
    gradient = (bottom - top) / depth[-1]
    velocity = np.repeat((top + gradient * depth)[:, None], side, axis=1)
    source = hypocentre(side)
    z, x = np.meshgrid(depth, np.arange(side) * SPACING_KM, indexing="ij")
    r2 = (z - source[0] * SPACING_KM) ** 2 + (x - source[1] * SPACING_KM) ** 2
    v_source = top + gradient * source[0] * SPACING_KM
    exact = np.arccosh(1 + gradient**2 * r2 / (2 * v_source * velocity)) / gradient
    return velocity, np.sqrt(r2), exact


def size(side, medium):
    return side * side


def describe(side, medium):
    return f"{side} x {side} cells, {medium}"


def setup(method, side, medium):
    velocity, distance, _ = linear_medium(side, medium)
    if method == KERNEL:
        import _kernels

        slowness = 1 / velocity
        seeds = [(*hypocentre(side), 0.0)]
        return lambda: _kernels.eikonal_solve(slowness, (SPACING_KM, SPACING_KM), seeds)

    import skfmm

    order = {ORDER_1: 1, ORDER_2: 2}[method]
    phi = distance - 1e-3 * SPACING_KM
    return lambda: skfmm.travel_time(phi, velocity, dx=SPACING_KM, order=order)


def accuracy(method, result, side, medium):
    error = np.abs(np.asarray(result) - linear_medium(side, medium)[2])
    return {"max_error_s": float(error.max()), "mean_error_s": float(error.mean())}
