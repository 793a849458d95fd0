"""The von Kármán spectrum of a rupture's log slip, fitted to the periodograms of an
ensemble (Mai and Beroza 2002 fitted slip models so), by the debiased Whittle likelihood
of Sykulski et al. (2019).

.. autosummary::

   VonKarmanFit
   periodogram
   expected_periodogram
   fit_von_karman
   fit_errors
   mean_periodogram
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy.optimize import minimize

from ..field import von_karman

__all__ = ["VonKarmanFit", "periodogram", "expected_periodogram", "fit_von_karman",
           "fit_errors", "mean_periodogram"]

FloatArray = npt.NDArray[np.float64]

# Cells of the window a periodogram is taken on, at most: a larger window is subsampled
# (every second cell, or third...), which the fit models exactly as a coarser grid.
FIT_CELLS = 20_000
# Groups of ruptures for the jackknife of the fit (a fit per group left out).
FIT_GROUPS = 5
# Points along each side of a window, at least, for a fit of three parameters: fewer leave
# too few wavenumbers to tell a Hurst exponent from two correlation lengths.
MIN_FIT_SIDE = 4


@dataclass(frozen=True)
class VonKarmanFit:
    """A fitted von Kármán spectrum, or the standard errors of one.

    Attributes
    ----------
    hurst : float
        The Hurst exponent.
    along_km, down_km : float
        The correlation lengths along strike and down dip, km.
    variance : float
        The field's variance.
    """
    hurst: float
    along_km: float
    down_km: float
    variance: float


def stride(cells: int) -> int:
    """Every how many cells a window of `cells` cells takes one."""
    return max(1, math.ceil(math.sqrt(cells / FIT_CELLS)))


def periodogram(values: FloatArray) -> FloatArray:
    """The periodogram ``abs(DFT)^2 / N`` of a grid: its expectation at every wavenumber but
    zero is that of `expected_periodogram`, whatever the grid's mean.

    Parameters
    ----------
    values : numpy.ndarray
        A 2-D grid.

    Returns
    -------
    numpy.ndarray
        The periodogram, of the grid's shape.
    """
    return np.asarray(np.abs(np.fft.fft2(values - values.mean())) ** 2 / values.size,
                      dtype=np.float64)


def expected_periodogram(shape: tuple[int, int], cell_km: float, hurst: float,
                         along_km: float, down_km: float, averaged_km: float = 0.0,
                         points: int = 1) -> FloatArray:
    """The expectation of `periodogram` of a unit-variance von Kármán field on a grid: the
    transform of the covariance at every lag times the share of cell pairs at that lag,
    folded onto the grid's own wavenumbers (the debiased periodogram of Sykulski et al.
    2019), with the blurring and aliasing of a finite grid.

    Parameters
    ----------
    shape : tuple of int
        The grid's (rows down dip, columns along strike).
    cell_km : float
        Its cell, km.
    hurst : float
        The Hurst exponent.
    along_km, down_km : float
        The correlation lengths, km.
    averaged_km : float
        The side of the square each value is the field's mean over (`cell_averaged`);
        0 for the field's values at points.
    points : int
        The points along each side of that square the mean is taken over.

    Returns
    -------
    numpy.ndarray
        The expected periodogram, of `shape`.
    """
    rows, columns = shape
    down, along = np.arange(rows), np.arange(columns)
    if averaged_km > 0 and points > 1:
        covariance = cell_averaged(shape, cell_km, averaged_km, points, hurst, along_km, down_km)
    else:
        covariance = von_karman(np.hypot((down * cell_km / down_km)[:, None],
                                         (along * cell_km / along_km)[None, :]), hurst)
    near_down, far_down = ((rows - down) / rows)[:, None], (down / rows)[:, None]
    near_along, far_along = ((columns - along) / columns)[None, :], (along / columns)[None, :]
    back_down, back_along = (rows - down) % rows, (columns - along) % columns
    folded = (near_down * near_along * covariance
              + near_down * far_along * covariance[:, back_along]
              + far_down * near_along * covariance[back_down, :]
              + far_down * far_along * covariance[np.ix_(back_down, back_along)])
    return np.asarray(np.fft.fft2(folded).real, dtype=np.float64)


def cell_averaged(shape: tuple[int, int], cell_km: float, averaged_km: float, points: int,
                  hurst: float, along_km: float, down_km: float) -> FloatArray:
    """The von Kármán covariance at a grid's lags (rows down dip, columns along strike) of
    the field's means over `points` x `points` points evenly spread over squares of side
    `averaged_km` (a rupture's cells are so over its fine cells; the grid's cell a whole
    number of them): the points' covariance averaged over every pair of points of two
    squares, evaluated once at each distinct offset."""
    step = averaged_km / points
    per_cell = round(cell_km / step)
    offsets = np.arange(1 - points, points)
    weights = (points - np.abs(offsets)) / points**2
    down_index = np.abs(np.arange(shape[0])[:, None] * per_cell + offsets[None, :])
    along_index = np.abs(np.arange(shape[1])[:, None] * per_cell + offsets[None, :])
    down, down_inverse = np.unique(down_index, return_inverse=True)
    along, along_inverse = np.unique(along_index, return_inverse=True)
    points_covariance = von_karman(np.hypot((down * step / down_km)[:, None],
                                            (along * step / along_km)[None, :]), hurst)
    by_down = np.tensordot(points_covariance[down_inverse.reshape(down_index.shape)], weights,
                           axes=([1], [0]))
    return np.asarray(np.tensordot(by_down[:, along_inverse.reshape(along_index.shape)],
                                   weights, axes=([2], [0])), dtype=np.float64)


def fit_von_karman(mean_periodogram: FloatArray, cell_km: float, averaged_km: float = 0.0,
                   points: int = 1, start: VonKarmanFit | None = None) -> VonKarmanFit:
    """The Hurst exponent, correlation lengths and variance whose expected periodogram best
    fits an average of periodograms, by the Whittle likelihood over every wavenumber but
    zero; the variance is profiled out. The search starts from `start`, or from H = 0.5 and
    lengths a quarter of the grid's sides.

    Parameters
    ----------
    mean_periodogram : numpy.ndarray
        The ensemble's mean periodogram.
    cell_km : float
        The grid's cell, km.
    averaged_km : float
        The side of the square each value is the field's mean over; 0 for points.
    points : int
        The points along each side of that square the mean is taken over.
    start : VonKarmanFit, optional
        Where the search starts (a fit to more of the same ruptures).

    Returns
    -------
    VonKarmanFit
        The fit; NaN on a window narrower than `MIN_FIT_SIDE` points.
    """
    shape = mean_periodogram.shape
    if min(shape) < MIN_FIT_SIDE:
        return VonKarmanFit(math.nan, math.nan, math.nan, math.nan)
    observed = np.delete(mean_periodogram.ravel(), 0)
    extent = (shape[1] * cell_km, shape[0] * cell_km)

    def model(parameters: FloatArray) -> FloatArray:
        hurst, log_along, log_down = parameters
        expected = expected_periodogram((shape[0], shape[1]), cell_km, hurst,
                                        math.exp(log_along), math.exp(log_down), averaged_km,
                                        points)
        return np.delete(expected.ravel(), 0)

    def misfit(parameters: FloatArray) -> float:
        hurst, log_along, log_down = parameters
        if not (0.02 <= hurst <= 1.5 and all(0.5 * cell_km <= math.exp(value) <= 50.0 * size
                                             for value, size in zip((log_along, log_down), extent))):
            return math.inf
        expected = model(parameters)
        if not np.all(expected > 0):  # rounding, far from any field's spectrum
            return math.inf
        return float(np.log(np.mean(observed / expected)) + np.mean(np.log(expected)))

    first = (np.array([0.5, math.log(extent[0] / 4.0), math.log(extent[1] / 4.0)])
             if start is None else
             np.array([start.hurst, math.log(start.along_km), math.log(start.down_km)]))
    best = minimize(misfit, first, method="Nelder-Mead", options={"xatol": 1e-3, "fatol": 1e-8})
    hurst, log_along, log_down = (float(value) for value in best.x)
    variance = float(np.mean(observed / model(best.x)))
    return VonKarmanFit(hurst, math.exp(log_along), math.exp(log_down), variance)


def fit_errors(periodograms: Sequence[FloatArray], cell_km: float, averaged_km: float = 0.0,
               points: int = 1, whole: VonKarmanFit | None = None) -> VonKarmanFit:
    """Standard errors of the fit, by the jackknife over `FIT_GROUPS` groups of ruptures,
    each group's fit searched from `whole`'s.

    Parameters
    ----------
    periodograms : sequence of numpy.ndarray
        Each rupture's periodogram.
    cell_km : float
        The grid's cell, km.
    averaged_km : float
        The side of the square each value is the field's mean over; 0 for points.
    points : int
        The points along each side of that square the mean is taken over.
    whole : VonKarmanFit, optional
        The fit to all the ruptures.

    Returns
    -------
    VonKarmanFit
        The errors; NaN from a single rupture.
    """
    groups = min(FIT_GROUPS, len(periodograms))
    if groups < 2:
        return VonKarmanFit(math.nan, math.nan, math.nan, math.nan)
    stack = np.array(periodograms)
    fits = []
    for left_out in np.array_split(np.arange(len(stack)), groups):
        kept = np.setdiff1d(np.arange(len(stack)), left_out)
        fit = fit_von_karman(stack[kept].mean(axis=0), cell_km, averaged_km, points, whole)
        fits.append((fit.hurst, fit.along_km, fit.down_km, fit.variance))
    values = np.array(fits)
    errors = np.sqrt((groups - 1) / groups * ((values - values.mean(axis=0)) ** 2).sum(axis=0))
    return VonKarmanFit(*(float(error) for error in errors))


def mean_periodogram(periodograms: Sequence[FloatArray]) -> FloatArray:
    """The mean of periodograms of one grid.

    Parameters
    ----------
    periodograms : sequence of numpy.ndarray
        Each rupture's periodogram.

    Returns
    -------
    numpy.ndarray
        Their mean.
    """
    return np.asarray(np.mean(periodograms, axis=0), dtype=np.float64)
