"""circulant_draw against the recipe a user would otherwise write with NumPy and SciPy.

A pair of fields on padded grids of 256^2 up to 2048^2, each cropped to a quarter (a
2048 x 2048 grid gives 1024 x 1024 cells). The recipe draws complex normals with NumPy's
generator, mirrors the amplitude quadrant over the padded grid and takes
scipy.fft.ifft2 with one worker per processor. Measured by bench/report.py through
bench/harness.py.
"""

import numpy as np

KERNEL = "circulant_draw"
POOLED = True
SIZE_NAME, SIZE_KEY = "padded cells", "padded"
SEED = 7
PEER = "NumPy + scipy.fft.ifft2"
ROWS = [(PEER, {"padded": n}) for n in (256, 512, 1024, 2048)]
WARM_UP = {"padded": 128}


def amplitude_quadrant(padded):
    return np.random.default_rng(0).random((padded // 2 + 1, padded // 2 + 1))


def recipe_draw(quadrant, padded, cells):
    import scipy.fft

    (pi, pj), (ci, cj) = padded, cells
    rng = np.random.default_rng(SEED)
    noise = rng.standard_normal(padded) + 1j * rng.standard_normal(padded)
    rows = np.minimum(np.arange(pi), pi - np.arange(pi))
    columns = np.minimum(np.arange(pj), pj - np.arange(pj))
    field = scipy.fft.ifft2(quadrant[np.ix_(rows, columns)] * noise, norm="ortho", workers=-1)
    corner = field[:ci, :cj]
    return corner.real.copy(), corner.imag.copy()


def size(padded):
    return padded * padded


def describe(padded):
    return f"{padded}^2 padded, {padded // 2}^2 kept"


def setup(method, padded):
    quadrant = amplitude_quadrant(padded)
    shape, cells = (padded, padded), (padded // 2, padded // 2)
    if method == KERNEL:
        import _kernels

        return lambda: _kernels.circulant_draw(quadrant, shape, cells, SEED)
    return lambda: recipe_draw(quadrant, shape, cells)
