"""eikonal_solve against scikit-fmm's travel_time on a smooth medium with a known answer.

A 1000 x 1000 grid at 0.1 km spacing whose velocity grows linearly with depth,
v = v0 + g * z, and one hypocentre inside it. For this medium the first-arrival time from
a point has the closed form t = arccosh(1 + g^2 r^2 / (2 v_source v_receiver)) / g.
Prints each solver's wall time (best of REPEATS), its largest and mean absolute error
against that answer, and the ratio of each time to eikonal_solve's.

scikit-fmm starts from the zero level set of a function phi rather than from a point, so
it gets the hypocentre two ways: the usual marker (phi = -1 on the hypocentre's cell and
+1 elsewhere, which puts the starting front half a cell out) and a level set hugging the
point (phi = distance - 0.001 cells). Both its first- and second-order schemes run.

    pip install -r bench/requirements.txt
    python bench/eikonal.py
"""

import time

import numpy as np
import skfmm

import _kernels

CELLS = 1000
SPACING_KM = 0.1
V0_KM_S = 3.0
GRADIENT_PER_S = 0.05  # km/s of velocity per km of depth
HYPOCENTRE = (300, 400)  # row (down-dip), column (along-strike)
REPEATS = 5


def medium():
    depth = np.arange(CELLS) * SPACING_KM
    velocity = np.repeat((V0_KM_S + GRADIENT_PER_S * depth)[:, None], CELLS, axis=1)
    z, x = np.meshgrid(depth, np.arange(CELLS) * SPACING_KM, indexing="ij")
    r2 = (z - HYPOCENTRE[0] * SPACING_KM) ** 2 + (x - HYPOCENTRE[1] * SPACING_KM) ** 2
    v_source = V0_KM_S + GRADIENT_PER_S * HYPOCENTRE[0] * SPACING_KM
    g = GRADIENT_PER_S
    exact = np.arccosh(1 + g * g * r2 / (2 * v_source * velocity)) / g
    return velocity, np.sqrt(r2), exact


def best_time(solve):
    best, result = np.inf, None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = solve()
        best = min(best, time.perf_counter() - start)
    return best, np.asarray(result)


def main():
    velocity, distance, exact = medium()
    slowness = 1 / velocity
    seeds = [(*HYPOCENTRE, 0.0)]

    marker = np.ones_like(velocity)
    marker[HYPOCENTRE] = -1
    hugging = distance - 1e-3 * SPACING_KM
    solvers = {
        "_kernels.eikonal_solve": lambda: _kernels.eikonal_solve(
            slowness, (SPACING_KM, SPACING_KM), seeds
        ),
    }
    for name, phi in (("marker", marker), ("point level set", hugging)):
        for order in (1, 2):
            solvers[f"scikit-fmm order {order}, {name}"] = (
                lambda phi=phi, order=order: skfmm.travel_time(
                    phi, velocity, dx=SPACING_KM, order=order
                )
            )

    print(f"{CELLS}x{CELLS} cells at {SPACING_KM} km, v = {V0_KM_S} + {GRADIENT_PER_S} z km/s,"
          f" hypocentre at {HYPOCENTRE}, best of {REPEATS}")
    print(f"{'solver':<36}{'time s':>9}{'max error s':>14}{'mean error s':>14}{'time ratio':>12}")
    results = {name: best_time(solve) for name, solve in solvers.items()}
    ours = results["_kernels.eikonal_solve"][0]
    for name, (seconds, times) in results.items():
        error = np.abs(times - exact)
        print(f"{name:<36}{seconds:>9.3f}{error.max():>14.2e}{error.mean():>14.2e}"
              f"{seconds / ours:>12.2f}")
    print("time ratio: the solver's time over eikonal_solve's (above 1: eikonal_solve is faster)")


if __name__ == "__main__":
    main()
